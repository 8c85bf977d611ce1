// Names in the '@'-prefixed scheme of the Pascal and C++ compilers for Windows
// that export "@Classes@TList@Add$qqrpv". What this file decodes, and nothing
// more (anything else, or anything left over, keeps the name raw):
//
//   name      := '@' ( typeinfo | scope* member [ '$q' convention params ] )
//   scope     := ident '@'                  unit, namespace or class
//   member    := ident                      function or variable
//              | '$bctr' | '$bdtr'          constructor, destructor of the last scope
//              | '$b' opcode                operator (the table below)
//              | '$o' type                  conversion operator to `type`
//   typeinfo  := '$xp$' type                the type descriptor of `type *`
//              | '$xt$' type                the type descriptor of `type`
//   convention:= 'qr' __fastcall (register) | 'qs' __stdcall | (nothing) __cdecl
//   params    := 'v'                        no parameters
//              | type+ [ 'e' ]              'e': a trailing "..."
//   type      := ( 'x' | 'w' )* basic       const, volatile (any order)
//   basic     := 'v' void | 'c' char | 'zc' signed char | 'uc' unsigned char
//              | 's' short | 'us' unsigned short | 'i' int | 'ui' unsigned int
//              | 'l' long | 'ul' unsigned long | 'j' __int64 | 'uj' unsigned __int64
//              | 'f' float | 'd' double | 'g' long double | 'o' bool | 'b' wchar_t
//              | 'p' type                   pointer to type
//              | 'r' type                   reference to type
//              | digits chars               a class or enum: that many characters,
//                                           its own scopes separated by '@'
//              | 't' digit                  the same type as parameter 1..9
//   ident     := [A-Za-z_][A-Za-z0-9_]*
//
// Templates ('%'), arrays, function and member pointers, and the many other
// compiler-made names ("@$xt$" aside) are not decoded.
#include <string>
#include <vector>

#include "dumper/demangle/Demangle.h"

namespace kestrova::dumper::demangle {

namespace {

struct Fail {};

struct Op {
  const char* code;
  const char* name;
};
constexpr Op kOperators[] = {
    {"asg", "operator ="},    {"add", "operator +"},    {"sub", "operator -"},    {"mul", "operator *"},
    {"div", "operator /"},    {"mod", "operator %"},    {"eql", "operator =="},   {"neq", "operator !="},
    {"lss", "operator <"},    {"gtr", "operator >"},    {"leq", "operator <="},   {"geq", "operator >="},
    {"not", "operator !"},    {"cmp", "operator ~"},    {"and", "operator &"},    {"or", "operator |"},
    {"xor", "operator ^"},    {"land", "operator &&"},  {"lor", "operator ||"},   {"inc", "operator ++"},
    {"dec", "operator --"},   {"subs", "operator []"},  {"call", "operator ()"},  {"arow", "operator ->"},
    {"new", "operator new"},  {"dele", "operator delete"}, {"nwa", "operator new[]"}, {"dla", "operator delete[]"},
    {"lsh", "operator <<"},   {"rsh", "operator >>"},
};

bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IdentChar(char c) { return IdentStart(c) || (c >= '0' && c <= '9'); }

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  std::string Run() {
    Expect('@');
    std::string r;
    if (Eat("$xp$")) {
      r = "type descriptor of " + Pointer(Type());
    } else if (Eat("$xt$")) {
      r = "type descriptor of " + Type();
    } else {
      r = Function();
    }
    if (p_ != s_.size() || r.size() > kMaxOutput) throw Fail{};
    return r;
  }

 private:
  char Peek() const { return p_ < s_.size() ? s_[p_] : '\0'; }
  char Next() {
    if (p_ >= s_.size()) throw Fail{};
    return s_[p_++];
  }
  void Expect(char c) {
    if (Next() != c) throw Fail{};
  }
  bool Eat(std::string_view t) {
    if (s_.substr(p_, t.size()) != t) return false;
    p_ += t.size();
    return true;
  }

  std::string Ident() {
    std::size_t start = p_;
    if (!IdentStart(Peek())) throw Fail{};
    while (IdentChar(Peek())) ++p_;
    return std::string(s_.substr(start, p_ - start));
  }

  std::string Function() {
    std::vector<std::string> scopes;
    std::string member;
    for (;;) {
      if (Peek() == '$') {
        member = Special(scopes);
        break;
      }
      std::string id = Ident();
      if (Peek() == '@') {
        ++p_;
        scopes.push_back(std::move(id));
        if (scopes.size() > 32) throw Fail{};
        continue;
      }
      member = std::move(id);
      break;
    }
    std::string qualified;
    for (const std::string& s : scopes) qualified += s + "::";
    qualified += member;
    if (p_ == s_.size()) return qualified;  // a variable
    if (!Eat("$q")) throw Fail{};
    const char* cc = "__cdecl";
    if (Eat("qr")) cc = "__fastcall";
    else if (Eat("qs")) cc = "__stdcall";
    else if (Peek() == 'q') throw Fail{};
    return std::string(cc) + " " + qualified + "(" + Params() + ")";
  }

  std::string Special(const std::vector<std::string>& scopes) {
    if (Eat("$bctr") || Eat("$bdtr")) {
      bool dtor = s_[p_ - 1] == 'r' && s_[p_ - 2] == 't' && s_[p_ - 3] == 'd';
      if (scopes.empty()) throw Fail{};
      return (dtor ? "~" : "") + scopes.back();
    }
    if (Eat("$b")) {
      std::size_t start = p_;
      while (Peek() >= 'a' && Peek() <= 'z') ++p_;
      std::string_view code = s_.substr(start, p_ - start);
      for (const Op& op : kOperators)
        if (code == op.code) return op.name;
      throw Fail{};
    }
    if (Eat("$o")) {
      std::string t = Type();
      return "operator " + t;
    }
    throw Fail{};
  }

  std::string Params() {
    if (Peek() == 'v') {
      ++p_;
      if (p_ != s_.size()) throw Fail{};
      return {};
    }
    std::string r;
    while (p_ < s_.size()) {
      if (!params_.empty()) r += ", ";
      if (Peek() == 'e') {
        ++p_;
        r += "...";
        if (p_ != s_.size()) throw Fail{};
        break;
      }
      std::string t = Type();
      if (params_.size() > 256) throw Fail{};
      params_.push_back(t);
      r += t;
      if (r.size() > kMaxOutput) throw Fail{};
    }
    if (r.empty()) throw Fail{};
    return r;
  }

  static std::string Pointer(const std::string& t) {
    if (!t.empty() && (t.back() == '*' || t.back() == '&')) return t + "*";
    return t + " *";
  }

  std::string Type() {
    if (++depth_ > kMaxDepth) throw Fail{};
    std::string cv;
    for (;;) {
      if (Peek() == 'x') cv += "const ";
      else if (Peek() == 'w') cv += "volatile ";
      else break;
      ++p_;
      if (cv.size() > 32) throw Fail{};
    }
    std::string r;
    char c = Next();
    switch (c) {
      case 'v': r = "void"; break;
      case 'c': r = "char"; break;
      case 's': r = "short"; break;
      case 'i': r = "int"; break;
      case 'l': r = "long"; break;
      case 'j': r = "__int64"; break;
      case 'f': r = "float"; break;
      case 'd': r = "double"; break;
      case 'g': r = "long double"; break;
      case 'o': r = "bool"; break;
      case 'b': r = "wchar_t"; break;
      case 'z':
        Expect('c');
        r = "signed char";
        break;
      case 'u': {
        char k = Next();
        if (k == 'c') r = "unsigned char";
        else if (k == 's') r = "unsigned short";
        else if (k == 'i') r = "unsigned int";
        else if (k == 'l') r = "unsigned long";
        else if (k == 'j') r = "unsigned __int64";
        else throw Fail{};
        break;
      }
      case 'p':
        r = Pointer(Type());
        // The qualifiers of a pointer itself follow its '*'.
        if (!cv.empty()) r += " " + cv.substr(0, cv.size() - 1);
        cv.clear();
        break;
      case 'r': {
        std::string t = Type();
        r = t + (t.back() == '*' ? "&" : " &");
        break;
      }
      case 't': {
        char k = Next();
        if (k < '1' || k > '9') throw Fail{};
        std::size_t i = static_cast<std::size_t>(k - '1');
        if (i >= params_.size()) throw Fail{};
        r = params_[i];
        break;
      }
      default:
        if (c >= '1' && c <= '9') {
          --p_;
          r = ClassName();
        } else {
          throw Fail{};
        }
    }
    --depth_;
    return cv + r;
  }

  // A length, then that many characters: scopes separated by '@'.
  std::string ClassName() {
    std::size_t n = 0;
    while (Peek() >= '0' && Peek() <= '9') {
      n = n * 10 + static_cast<std::size_t>(Next() - '0');
      if (n > kMaxInput) throw Fail{};
    }
    if (n == 0 || n > s_.size() - p_) throw Fail{};
    std::string_view body = s_.substr(p_, n);
    p_ += n;
    std::string r;
    std::size_t i = 0;
    for (;;) {
      std::size_t start = i;
      if (i >= body.size() || !IdentStart(body[i])) throw Fail{};
      while (i < body.size() && IdentChar(body[i])) ++i;
      r += body.substr(start, i - start);
      if (i == body.size()) break;
      if (body[i] != '@') throw Fail{};
      ++i;
      r += "::";
    }
    return r;
  }

  std::string_view s_;
  std::size_t p_ = 0;
  int depth_ = 0;
  std::vector<std::string> params_;
};

}  // namespace

std::optional<std::string> DemangleBorland(std::string_view name) {
  if (name.size() < 2 || name.size() > kMaxInput || name[0] != '@') return std::nullopt;
  try {
    return Parser(name).Run();
  } catch (const Fail&) {
    return std::nullopt;
  }
}

}  // namespace kestrova::dumper::demangle
