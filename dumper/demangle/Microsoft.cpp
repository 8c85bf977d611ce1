// Visual C++ names: "?" + the name and its scopes (innermost first, each
// ending in '@', the list ending in '@') + what the name is (function, data,
// virtual table, RTTI record) + its type. Names and argument types already
// seen are referred to again by one digit. The text produced follows what
// undname and llvm-undname show, so that a user can search for it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dumper/demangle/Demangle.h"

namespace kestrova::dumper::demangle {

namespace {

struct Fail {};

// A type as a declarator: a name N declared with it reads left + N + right.
struct Type {
  std::string left, right;
  // A pointer to this type needs parentheses: "void (__cdecl *)(int)", "int (*)[3]".
  bool grouped = false;
  bool function = false;   // left is the return type, cc the convention
  bool indirect = false;   // a pointer or reference: storage cv-qualifiers are in it already
  std::string cc;
};

// Names of the primitive types, by their letter.
const char* Primitive(char c) {
  switch (c) {
    case 'C': return "signed char";
    case 'D': return "char";
    case 'E': return "unsigned char";
    case 'F': return "short";
    case 'G': return "unsigned short";
    case 'H': return "int";
    case 'I': return "unsigned int";
    case 'J': return "long";
    case 'K': return "unsigned long";
    case 'M': return "float";
    case 'N': return "double";
    case 'O': return "long double";
    case 'X': return "void";
    default: return nullptr;
  }
}

// The same for the two-letter "_x" forms.
const char* Extended(char c) {
  switch (c) {
    case 'D': return "__int8";
    case 'F': return "__int16";
    case 'G': return "unsigned __int16";
    case 'H': return "__int32";
    case 'I': return "unsigned __int32";
    case 'J': return "__int64";
    case 'K': return "unsigned __int64";
    case 'L': return "__int128";
    case 'M': return "unsigned __int128";
    case 'N': return "bool";
    case 'Q': return "char8_t";
    case 'S': return "char16_t";
    case 'U': return "char32_t";
    case 'W': return "wchar_t";
    default: return nullptr;
  }
}

// Operators "?x" and "?_x".
const char* Operator(char c) {
  switch (c) {
    case '2': return "operator new";
    case '3': return "operator delete";
    case '4': return "operator=";
    case '5': return "operator>>";
    case '6': return "operator<<";
    case '7': return "operator!";
    case '8': return "operator==";
    case '9': return "operator!=";
    case 'A': return "operator[]";
    case 'C': return "operator->";
    case 'D': return "operator*";
    case 'E': return "operator++";
    case 'F': return "operator--";
    case 'G': return "operator-";
    case 'H': return "operator+";
    case 'I': return "operator&";
    case 'J': return "operator->*";
    case 'K': return "operator/";
    case 'L': return "operator%";
    case 'M': return "operator<";
    case 'N': return "operator<=";
    case 'O': return "operator>";
    case 'P': return "operator>=";
    case 'Q': return "operator,";
    case 'R': return "operator()";
    case 'S': return "operator~";
    case 'T': return "operator^";
    case 'U': return "operator|";
    case 'V': return "operator&&";
    case 'W': return "operator||";
    case 'X': return "operator*=";
    case 'Y': return "operator+=";
    case 'Z': return "operator-=";
    default: return nullptr;
  }
}

const char* OperatorUnderscore(char c) {
  switch (c) {
    case '0': return "operator/=";
    case '1': return "operator%=";
    case '2': return "operator>>=";
    case '3': return "operator<<=";
    case '4': return "operator&=";
    case '5': return "operator|=";
    case '6': return "operator^=";
    case '7': return "`vftable'";
    case '8': return "`vbtable'";
    case 'D': return "`vbase dtor'";
    case 'E': return "`vector deleting dtor'";
    case 'F': return "`default ctor closure'";
    case 'G': return "`scalar deleting dtor'";
    case 'H': return "`vector ctor iterator'";
    case 'I': return "`vector dtor iterator'";
    case 'J': return "`vector vbase ctor iterator'";
    case 'K': return "`virtual displacement map'";
    case 'L': return "`eh vector ctor iterator'";
    case 'M': return "`eh vector dtor iterator'";
    case 'N': return "`eh vector vbase ctor iterator'";
    case 'O': return "`copy ctor closure'";
    case 'T': return "`local vftable ctor closure'";
    case 'U': return "operator new[]";
    case 'V': return "operator delete[]";
    default: return nullptr;
  }
}

const char* OperatorDouble(char c) {
  switch (c) {
    case 'A': return "`managed vector ctor iterator'";
    case 'B': return "`managed vector dtor iterator'";
    case 'C': return "`EH vector copy ctor iterator'";
    case 'D': return "`EH vector vbase copy ctor iterator'";
    case 'G': return "`vector copy ctor iterator'";
    case 'H': return "`vector vbase copy constructor iterator'";
    case 'I': return "`managed vector vbase copy constructor iterator'";
    case 'L': return "operator co_await";
    case 'M': return "operator<=>";
    default: return nullptr;
  }
}

const char* Convention(char c) {
  switch (c) {
    case 'A': case 'B': return "__cdecl";
    case 'C': case 'D': return "__pascal";
    case 'E': case 'F': return "__thiscall";
    case 'G': case 'H': return "__stdcall";
    case 'I': case 'J': return "__fastcall";
    case 'M': case 'N': return "__clrcall";
    case 'O': case 'P': return "__eabi";
    case 'Q': return "__vectorcall";
    default: return nullptr;
  }
}

const char* const kAccess[] = {"private: ", "protected: ", "public: "};

bool EndsIndirect(const std::string& s) { return !s.empty() && (s.back() == '*' || s.back() == '&'); }

// What the name is, once the special forms are told apart.
enum class Special : std::uint8_t { None, Ctor, Dtor, Conversion };

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  std::string Run() {
    std::string r = Symbol();
    if (p_ != s_.size()) throw Fail{};
    return r;
  }

 private:
  struct Depth {
    explicit Depth(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxDepth) throw Fail{};
    }
    ~Depth() { --p_.depth_; }
    Parser& p_;
  };

  // The back-reference tables: ten names and ten argument types, fresh for
  // each template's arguments.
  struct Tables {
    std::vector<std::string> names;
    std::vector<Type> types;
  };

  bool AtEnd() const { return p_ >= s_.size(); }
  char Peek(std::size_t k = 0) const { return p_ + k < s_.size() ? s_[p_ + k] : '\0'; }
  char Next() {
    if (AtEnd()) throw Fail{};
    return s_[p_++];
  }
  bool Eat(char c) {
    if (Peek() != c) return false;
    ++p_;
    return true;
  }
  bool Eat(std::string_view t) {
    if (s_.substr(p_, t.size()) != t) return false;
    p_ += t.size();
    return true;
  }
  void Expect(char c) {
    if (!Eat(c)) throw Fail{};
  }
  // Every piece of text built is paid for, so back-references that repeat
  // long names cannot make a short name costly.
  void Pay(std::size_t n) {
    work_ += n;
    if (n > kMaxOutput || work_ > 32 * kMaxOutput) throw Fail{};
  }
  std::string Pay(std::string s) {
    Pay(s.size());
    return s;
  }

  // A number: a digit for 1..10, else hex digits 'A'..'P' up to '@'; '?' before it negates.
  std::int64_t Number() {
    bool neg = Eat('?');
    std::uint64_t v = 0;
    char c = Next();
    if (c >= '0' && c <= '9') {
      v = static_cast<std::uint64_t>(c - '0') + 1;
    } else {
      int digits = 0;
      for (;; c = Next()) {
        if (c == '@') break;
        if (c < 'A' || c > 'P' || ++digits > 16) throw Fail{};
        v = (v << 4) | static_cast<std::uint64_t>(c - 'A');
      }
      if (digits == 0) throw Fail{};
    }
    std::int64_t r = static_cast<std::int64_t>(v);
    return neg ? -r : r;
  }
  // Offsets in thunks and RTTI records are 32-bit.
  std::string Offset() { return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(Number()))); }

  void Remember(const std::string& name) {
    if (t_.names.size() >= 10) return;
    for (const std::string& n : t_.names)
      if (n == name) return;
    t_.names.push_back(name);
  }

  std::string SimpleName() {
    std::size_t at = s_.find('@', p_);
    if (at == std::string_view::npos || at == p_) throw Fail{};
    std::string n = Pay(std::string(s_.substr(p_, at - p_)));
    p_ = at + 1;
    return n;
  }

  // "?$name@args@": a fresh table for the arguments; the whole is remembered outside.
  std::string TemplateName(bool* isOperator = nullptr) {
    Depth d(*this);
    Tables saved = std::move(t_);
    t_ = Tables{};
    std::string name;
    if (Peek() == '?') {
      ++p_;
      Special sp = Special::None;
      name = OperatorName(sp);
      if (sp != Special::None) throw Fail{};
      if (isOperator) *isOperator = true;
    } else {
      name = SimpleName();
      Remember(name);
    }
    name += '<';
    bool first = true;
    while (!Eat('@')) {
      std::string a = TemplateArgument();
      if (a.empty()) continue;
      if (!first) name += ", ";
      name += a;
      first = false;
      Pay(name.size());
    }
    name += '>';
    t_ = std::move(saved);
    return Pay(std::move(name));
  }

  std::string TemplateArgument() {
    if (Eat("$$V") || Eat("$$Z") || Eat("$S")) return {};
    if (Eat("$0")) return std::to_string(Number());
    if (Eat("$1")) {
      if (Peek() != '?') throw Fail{};
      return Pay("&" + Symbol());
    }
    if (Eat("$E")) {
      if (Peek() != '?') throw Fail{};
      return Symbol();
    }
    if (Peek() == '$' && Peek(1) != '$') throw Fail{};
    std::size_t start = p_;
    Type t = ArgType();
    RememberType(t, start);
    return Text(t);
  }

  // One piece of a qualified name.
  std::string Fragment() {
    char c = Peek();
    if (c >= '0' && c <= '9') {
      ++p_;
      std::size_t i = static_cast<std::size_t>(c - '0');
      if (i >= t_.names.size()) throw Fail{};
      return t_.names[i];
    }
    if (c != '?') {
      std::string n = SimpleName();
      Remember(n);
      return n;
    }
    if (Eat("?$")) {
      // An operator template is not remembered.
      bool op = false;
      std::string n = TemplateName(&op);
      if (!op) Remember(n);
      return n;
    }
    if (Eat("?A")) {
      // An anonymous namespace, with or without its compiler-chosen tag.
      std::size_t at = s_.find('@', p_);
      if (at == std::string_view::npos) throw Fail{};
      p_ = at + 1;
      return "`anonymous namespace'";
    }
    ++p_;
    if (Peek() == '?') {
      // A name nested in a scope: a whole symbol of its own.
      std::string inner = Symbol();
      return Pay("`" + inner + "'");
    }
    throw Fail{};
  }

  // The scopes after the first piece, up to the '@' that ends them.
  void Scopes(std::vector<std::string>& parts) {
    Depth d(*this);
    while (!Eat('@')) {
      if (AtEnd()) throw Fail{};
      char k = Peek(1);
      if (Peek() == '?' && ((k >= '0' && k <= '9') || (k >= 'B' && k <= 'P'))) {
        // A function's local scope: "?" + its number + "?" + the function's own symbol.
        ++p_;
        std::int64_t n = Number();
        parts.push_back("`" + std::to_string(n) + "'");
        Expect('?');
        std::string f = Symbol();
        parts.push_back(Pay("`" + f + "'"));
        continue;
      }
      if (parts.size() > 64) throw Fail{};
      parts.push_back(Fragment());
    }
  }

  std::string Qualified() {
    std::vector<std::string> parts;
    parts.push_back(Fragment());
    Scopes(parts);
    return Join(parts);
  }

  std::string Join(const std::vector<std::string>& parts) {
    std::string r;
    for (std::size_t i = parts.size(); i-- > 0;) {
      r += parts[i];
      if (i != 0) r += "::";
      Pay(parts[i].size() + 2);
    }
    return r;
  }

  // After "?" in the first piece: an operator or special member.
  std::string OperatorName(Special& sp) {
    char c = Next();
    if (c == '0') {
      sp = Special::Ctor;
      return {};
    }
    if (c == '1') {
      sp = Special::Dtor;
      return {};
    }
    if (c == 'B') {
      sp = Special::Conversion;
      return {};
    }
    if (c != '_') {
      if (const char* n = Operator(c)) return n;
      throw Fail{};
    }
    c = Next();
    if (c == '_') {
      c = Next();
      if (const char* n = OperatorDouble(c)) return n;
      if (c == 'K') return "operator \"\"" + SimpleName();
      if (c == 'E' || c == 'F') {
        std::string what = c == 'E' ? "`dynamic initializer for " : "`dynamic atexit destructor for ";
        if (Peek() == '?') {
          std::string inner = Symbol();
          Expect('@');
          return Pay(what + "`" + inner + "''");
        }
        return Pay(what + "'" + SimpleName() + "''");
      }
      throw Fail{};
    }
    if (c == 'R') {
      c = Next();
      switch (c) {
        case '1': {
          std::string a = Offset(), b = Offset(), cc = Offset(), dd = Offset();
          return "`RTTI Base Class Descriptor at (" + a + ", " + b + ", " + cc + ", " + dd + ")'";
        }
        case '2': return "`RTTI Base Class Array'";
        case '3': return "`RTTI Class Hierarchy Descriptor'";
        case '4': return "`RTTI Complete Object Locator'";
        default: throw Fail{};
      }
    }
    if (const char* n = OperatorUnderscore(c)) return n;
    throw Fail{};
  }

  std::string Symbol() {
    Depth d(*this);
    Expect('?');
    if (Peek() == '@') throw Fail{};  // a hash of an over-long name: nothing to show
    if (Eat("?_C@_")) return StringLiteral();
    if (Eat("?_R0")) {
      Type t = ArgType();
      Expect('@');
      Expect('8');
      return Pay(t.left + t.right + " `RTTI Type Descriptor'");
    }
    std::vector<std::string> parts;
    Special sp = Special::None;
    if (Eat("?$")) {
      // The symbol's own name, when a template, is not remembered.
      parts.push_back(TemplateName());
    } else if (Peek() == '?') {
      ++p_;
      parts.push_back(OperatorName(sp));
    } else {
      parts.push_back(Fragment());
    }
    Scopes(parts);
    if (sp == Special::Ctor || sp == Special::Dtor) {
      if (parts.size() < 2) throw Fail{};
      parts[0] = (sp == Special::Dtor ? "~" : "") + parts[1];
    }
    return Encoding(parts, sp);
  }

  // The part after the name: what kind of symbol, then its type.
  std::string Encoding(std::vector<std::string>& parts, Special sp) {
    char c = Next();
    if (c >= '0' && c <= '4') {
      if (sp != Special::None) throw Fail{};
      std::string prefix = c <= '2' ? std::string(kAccess[c - '0']) + "static " : "";
      Type t = ArgType();
      StorageClass(t);
      return Pay(prefix + Declare(t, Join(parts)));
    }
    if (c == '6' || c == '7') {
      std::string r = Pay("const " + Join(parts));
      StorageLetter();
      if (!Eat('@')) {
        r += "{for `";
        bool first = true;
        while (!Eat('@')) {
          if (!first) r += "'s `";
          r += Qualified();
          first = false;
          Pay(r.size());
        }
        r += "'}";
      }
      return Pay(std::move(r));
    }
    if (c == '8') return Join(parts);
    std::string prefix, suffix;
    bool member = false;
    if (c >= 'A' && c <= 'X') {
      int k = c - 'A';
      int kind = (k % 8) / 2;  // 0 plain, 1 static, 2 virtual, 3 adjustor thunk
      prefix = kAccess[k / 8];
      if (kind == 1) prefix += "static ";
      if (kind == 2) prefix += "virtual ";
      if (kind == 3) {
        prefix = "[thunk]: " + prefix + "virtual ";
        suffix = "`adjustor{" + std::to_string(Number()) + "}'";
      }
      member = kind != 1;
    } else if (c == 'Y' || c == 'Z') {
    } else if (c == '$') {
      char a = Next();
      if (a >= '0' && a <= '5') {
        prefix = "[thunk]: " + std::string(kAccess[(a - '0') / 2]) + "virtual ";
        std::string x = Offset(), y = Offset();
        suffix = "`vtordisp{" + x + ", " + y + "}'";
      } else if (a == 'R') {
        char b = Next();
        if (b < '0' || b > '5') throw Fail{};
        prefix = "[thunk]: " + std::string(kAccess[(b - '0') / 2]) + "virtual ";
        std::string w = Offset(), x = Offset(), y = Offset(), z = Offset();
        suffix = "`vtordispex{" + w + ", " + x + ", " + y + ", " + z + "}'";
      } else {
        throw Fail{};
      }
      member = true;
    } else {
      throw Fail{};
    }
    std::string quals = member ? ThisQualifiers() : std::string();
    const char* cc = Convention(Next());
    if (!cc) throw Fail{};
    bool noReturn = false;
    Type ret;
    if (Eat('@')) noReturn = true;
    else ret = ReturnType();
    if (sp == Special::Conversion) parts[0] = Pay("operator " + ret.left + ret.right);
    if ((sp == Special::Ctor || sp == Special::Dtor) != noReturn) throw Fail{};
    std::string params = Parameters();
    ThrowSpec();
    std::string r = prefix;
    if (!noReturn) r += ret.left + " ";
    r += cc;
    r += ' ';
    r += Join(parts);
    r += suffix;
    r += "(" + params + ")" + quals + ret.right;
    return Pay(std::move(r));
  }

  // cv-qualifiers and the like of a member function's object.
  std::string ThisQualifiers() {
    std::string q, ref;
    for (;;) {
      if (Eat('E')) continue;  // __ptr64: every pointer of a 64-bit image is
      if (Eat('I')) q += " __restrict";
      else if (Eat('F')) q += " __unaligned";
      else if (Eat('G')) ref = " &";
      else if (Eat('H')) ref = " &&";
      else break;
    }
    std::string cv = CvLetter(Next());
    return cv + q + ref;
  }

  static std::string CvLetter(char c) {
    switch (c) {
      case 'A': return "";
      case 'B': return " const";
      case 'C': return " volatile";
      case 'D': return " const volatile";
      default: throw Fail{};
    }
  }

  // The storage class after a variable's type: cv-qualifiers of the object.
  std::string StorageLetter() {
    while (Eat('E') || Eat('I') || Eat('F')) {
    }
    char c = Next();
    if (c >= 'A' && c <= 'D') return CvLetter(c);
    if (c >= 'Q' && c <= 'T') {
      // Of a member pointer: the class comes again.
      Qualified();
      return CvLetter(static_cast<char>(c - 'Q' + 'A'));
    }
    throw Fail{};
  }

  void StorageClass(Type& t) {
    std::string cv = StorageLetter();
    if (!t.indirect && !t.function) t.left += cv;
  }

  static std::string Declare(const Type& t, const std::string& name) {
    if (t.grouped || !t.right.empty()) return t.left + name + t.right;
    return t.left + (EndsIndirect(t.left) ? "" : " ") + name + t.right;
  }

  Type ReturnType() {
    if (Eat('?')) {
      std::string cv = CvLetter(Next());
      Type t = ArgType();
      t.left += cv;
      return t;
    }
    return ArgType();
  }

  void RememberType(const Type& t, std::size_t start) {
    if (p_ - start > 1 && t_.types.size() < 10) t_.types.push_back(t);
  }

  std::string Parameters() {
    if (Eat('X')) return "void";
    std::string r;
    bool first = true;
    for (;;) {
      if (Eat('@')) break;
      if (Eat('Z')) {
        if (!first) r += ", ";
        r += "...";
        break;
      }
      Type t;
      char c = Peek();
      if (c >= '0' && c <= '9') {
        ++p_;
        std::size_t i = static_cast<std::size_t>(c - '0');
        if (i >= t_.types.size()) throw Fail{};
        t = t_.types[i];
      } else {
        std::size_t start = p_;
        t = ArgType();
        RememberType(t, start);
      }
      if (!first) r += ", ";
      r += Text(t);
      first = false;
      Pay(r.size());
    }
    if (first && r.empty()) throw Fail{};
    return r;
  }

  void ThrowSpec() {
    if (Eat('Z')) return;
    if (Eat("_E")) return;
    throw Fail{};
  }

  // A type on its own, as an argument.
  std::string Text(const Type& t) {
    if (t.function) return Pay(t.left + " " + t.cc + t.right);
    return Pay(t.left + t.right);
  }

  Type Plain(std::string s) {
    Type t;
    t.left = Pay(std::move(s));
    return t;
  }

  Type ArgType() {
    Depth d(*this);
    char c = Next();
    if (const char* n = Primitive(c)) return Plain(n);
    switch (c) {
      case '_': {
        if (const char* n = Extended(Next())) return Plain(n);
        throw Fail{};
      }
      case 'T': return Plain("union " + Qualified());
      case 'U': return Plain("struct " + Qualified());
      case 'V': return Plain("class " + Qualified());
      case 'W': {
        static const char* const kEnum[] = {"enum char ", "enum unsigned char ", "enum short ", "enum unsigned short ",
                                            "enum ", "enum unsigned int ", "enum long ", "enum unsigned long "};
        char k = Next();
        if (k < '0' || k > '7') throw Fail{};
        return Plain(kEnum[k - '0'] + Qualified());
      }
      case 'P': return Pointer("*", "");
      case 'Q': return Pointer("*", "const");
      case 'R': return Pointer("*", "volatile");
      case 'S': return Pointer("*", "const volatile");
      case 'A': return Pointer("&", "");
      case 'B': return Pointer("&", "volatile");
      case 'Y': return Array();
      case '?': {
        // A placeholder for a deduced type, "?<auto>@@".
        if (Peek() == '<') return Plain(Qualified());
        std::string cv = CvLetter(Next());
        Type t = ArgType();
        t.left += cv;
        return t;
      }
      case '$': break;
      default: throw Fail{};
    }
    Expect('$');
    c = Next();
    switch (c) {
      case 'T': return Plain("std::nullptr_t");
      case 'Q': return Pointer("&&", "");
      case 'R': return Pointer("&&", "volatile");
      case 'A':
        Expect('6');
        return FunctionType();
      case 'B': {
        Expect('Y');
        Type t = Array();
        return t;
      }
      case 'C': {
        std::string cv = CvLetter(Next());
        Type t = ArgType();
        t.left += cv;
        return t;
      }
      default: throw Fail{};
    }
  }

  // "Y" + count of dimensions + each dimension + the element type.
  Type Array() {
    std::int64_t n = Number();
    if (n <= 0 || n > 32) throw Fail{};
    std::string dims;
    for (std::int64_t i = 0; i < n; ++i) dims += "[" + std::to_string(Number()) + "]";
    Type e = ArgType();
    Type t;
    t.left = e.left;
    t.right = Pay(dims + e.right);
    return t;
  }

  Type FunctionType() {
    const char* cc = Convention(Next());
    if (!cc) throw Fail{};
    Type ret = ReturnType();
    std::string params = Parameters();
    ThrowSpec();
    Type t;
    t.function = true;
    t.cc = cc;
    t.left = ret.left;
    t.right = Pay("(" + params + ")" + ret.right);
    return t;
  }

  Type MemberFunctionType() {
    std::string quals = ThisQualifiers();
    const char* cc = Convention(Next());
    if (!cc) throw Fail{};
    Type ret = ReturnType();
    std::string params = Parameters();
    ThrowSpec();
    Type t;
    t.function = true;
    t.cc = cc;
    t.left = ret.left;
    t.right = Pay("(" + params + ")" + quals + ret.right);
    return t;
  }

  // A pointer or reference ("*", "&", "&&") with its own cv-qualifiers, then
  // the pointee's modifiers and cv-letter, then the pointee.
  Type Pointer(const char* op, const char* cv) {
    std::string mark = op;
    if (*cv) mark += cv;
    std::string pre;  // modifiers that go before the '*'
    for (;;) {
      if (Eat('E')) continue;
      if (Eat('I')) mark += "__restrict";
      else if (Eat('F')) pre += " __unaligned";
      else break;
    }
    char c = Next();
    Type pointee;
    if (c == '6') {
      pointee = FunctionType();
    } else if (c == '8') {
      std::string cls = Qualified();
      pointee = MemberFunctionType();
      mark = cls + "::" + mark;
    } else if (c >= 'A' && c <= 'D') {
      std::string pcv = CvLetter(c);
      pointee = ArgType();
      if (pointee.function) throw Fail{};
      // A pointer's own qualifiers were given by its letter already.
      if (!pointee.indirect || pcv.empty() || !pointee.left.ends_with(std::string_view(pcv).substr(1)))
        pointee.left += pcv;
    } else if (c >= 'Q' && c <= 'T') {
      std::string cls = Qualified();
      std::string pcv = CvLetter(static_cast<char>(c - 'Q' + 'A'));
      pointee = ArgType();
      pointee.left += pcv;
      mark = cls + "::" + mark;
    } else {
      throw Fail{};
    }
    Type t;
    t.indirect = true;
    if (pointee.function) {
      t.left = pointee.left + " (" + pointee.cc + " " + mark;
      t.right = ")" + pointee.right;
      t.grouped = true;
    } else if (pointee.grouped) {
      t.left = pointee.left + mark;
      t.right = pointee.right;
      t.grouped = true;
    } else if (!pointee.right.empty()) {
      t.left = pointee.left + pre + " (" + mark;
      t.right = ")" + pointee.right;
      t.grouped = true;
    } else {
      t.left = pointee.left + pre + (EndsIndirect(pointee.left) && pre.empty() ? "" : " ") + mark;
    }
    Pay(t.left.size() + t.right.size());
    return t;
  }

  // "??_C@_" + width ('0' narrow, '1' wide) + length + hash + the first bytes.
  std::string StringLiteral() {
    char w = Next();
    if (w != '0' && w != '1') throw Fail{};
    std::int64_t len = Number();
    std::size_t at = s_.find('@', p_);  // the hash
    if (at == std::string_view::npos) throw Fail{};
    p_ = at + 1;
    std::string bytes;
    while (!Eat('@')) {
      char c = Next();
      if (c != '?') {
        bytes += c;
        continue;
      }
      c = Next();
      if (c >= '0' && c <= '9') {
        bytes += ",/\\:. \n\t'-"[c - '0'];
      } else if (c == '$') {
        char hi = Next(), lo = Next();
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') throw Fail{};
        bytes += static_cast<char>(((hi - 'A') << 4) | (lo - 'A'));
      } else if (c >= 'a' && c <= 'z') {
        bytes += static_cast<char>(0xE1 + (c - 'a'));
      } else if (c >= 'A' && c <= 'Z') {
        bytes += static_cast<char>(0xC1 + (c - 'A'));
      } else {
        throw Fail{};
      }
    }
    std::size_t unit = w == '1' ? 2 : 1;
    if (len < 0 || bytes.size() % unit != 0) throw Fail{};
    // Whole literals end in a NUL; longer ones carry only their first bytes.
    bool whole = static_cast<std::uint64_t>(len) == bytes.size();
    std::string r = w == '1' ? "L\"" : "\"";
    std::size_t n = bytes.size() / unit;
    if (whole) {
      if (n == 0) throw Fail{};
      --n;
    }
    for (std::size_t i = 0; i < n; ++i) {
      // Wide literals are stored big-end first.
      auto byte = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
      unsigned v = unit == 2 ? (byte(2 * i) << 8) | byte(2 * i + 1) : byte(i);
      if (v >= 0x80 || v < 0x20 || v == '"' || v == '\\') {
        static constexpr char kHex[] = "0123456789abcdef";
        switch (v) {
          case '\n': r += "\\n"; break;
          case '\t': r += "\\t"; break;
          case '"': r += "\\\""; break;
          case '\\': r += "\\\\"; break;
          default:
            r += "\\x";
            if (unit == 2) {
              r += kHex[v >> 12];
              r += kHex[(v >> 8) & 15];
            }
            r += kHex[(v >> 4) & 15];
            r += kHex[v & 15];
        }
      } else {
        r += static_cast<char>(v);
      }
    }
    r += whole ? "\"" : "\"...";
    return Pay(std::move(r));
  }

  std::string_view s_;
  std::size_t p_ = 0;
  int depth_ = 0;
  std::size_t work_ = 0;
  Tables t_;
};

}  // namespace

std::optional<std::string> DemangleMicrosoft(std::string_view name) {
  if (name.size() < 2 || name.size() > kMaxInput || name[0] != '?') return std::nullopt;
  try {
    std::string r = Parser(name).Run();
    if (r.empty() || r.size() > kMaxOutput) return std::nullopt;
    return r;
  } catch (const Fail&) {
    return std::nullopt;
  }
}

}  // namespace kestrova::dumper::demangle
