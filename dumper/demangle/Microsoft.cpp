// Visual C++ names: "?" + the name and its scopes (innermost first, each
// ending in '@', the list ending in '@') + what the name is (function, data,
// virtual table, RTTI record) + its type. Names and argument types already
// seen are referred to again by one digit. The text produced follows what
// undname and llvm-undname show, so that a user can search for it.
//
// A DLL exports thousands of these, so the name is parsed into a small tree
// of nodes (kept between calls, no allocation per piece) that back-references
// share, and the tree is printed once.
#include <cstdint>
#include <string>
#include <vector>

#include "dumper/demangle/Demangle.h"

namespace kestrova::dumper::demangle {

namespace {

struct Fail {};

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

// What the name is, once the special forms are told apart.
enum class Special : std::uint8_t { None, Ctor, Dtor, Conversion };

enum class Kind : std::uint8_t {
  Text,       // text
  Number,     // value, in decimal
  Template,   // a, then the arguments in <>
  Qualified,  // the parts, outermost first, joined by "::"
  Quoted,     // `a'
  Prefix,     // text, then a
  Concat,     // the list, one after another
  Suffix,     // type a with text (a cv-qualifier) after its left side
  Pointer,    // to a: [b::] op cv [__restrict], maybe __unaligned before it
  Array,      // of a, the list being its dimensions
  Function,   // returning a (-1: nothing), convention cc, the list its parameters, text its qualifiers
  Symbol,     // a whole symbol (SymbolKind)
};

enum class SymbolKind : std::uint8_t { Function, Variable, Table, TypeDescriptor };

struct Node {
  Kind kind = Kind::Text;
  SymbolKind sym = SymbolKind::Function;
  bool function = false;  // a function type, maybe qualified
  bool grouped = false;   // a pointer to it needs parentheses: "void (__cdecl *)(int)", "int (*)[3]"
  bool indirect = false;  // a pointer or reference: storage cv-qualifiers are in it already
  bool hasRight = false;  // prints something after a declared name
  bool dedupe = false;    // Suffix: left out when the pointer it follows says it already
  bool restrict = false, variadic = false, voidParams = false, unaligned = false;
  std::uint8_t cv = 0;  // a pointer's own cv-qualifiers, in kPointerCv
  std::int32_t a = -1, b = -1, c = -1;
  std::uint32_t first = 0, count = 0;  // a list, in the lists buffer
  std::int64_t value = 0;
  std::string_view text;
  const char* cc = "";
};

constexpr const char* kPointerCv[] = {"", "const", "volatile", "const volatile"};

// Kept from name to name, so that a name costs no allocation once they have grown.
struct Buffers {
  static constexpr std::size_t kGenerated = 64 * 1024;
  Buffers() {
    nodes.reserve(512);
    lists.reserve(512);
    generated.reserve(kGenerated);
    out.reserve(kMaxOutput + 64);
  }
  std::vector<Node> nodes;
  std::vector<std::int32_t> lists;
  std::string generated;  // never grows past its reserve: views point into it
  std::string out;
};

bool IsIndirectMark(char c) { return c == '*' || c == '&'; }

class Parser {
 public:
  Parser(std::string_view s, Buffers& b) : s_(s), nodes_(b.nodes), lists_(b.lists), gen_(b.generated), out_(b.out) {
    nodes_.clear();
    lists_.clear();
    gen_.clear();
    out_.clear();
  }

  std::string Run() {
    std::int32_t root = Symbol();
    if (p_ != s_.size()) throw Fail{};
    Print(root);
    return out_;
  }

 private:
  static constexpr std::size_t kMaxNodes = 4 * kMaxInput;
  static constexpr std::size_t kMaxList = 128;
  static constexpr std::uint32_t kMaxSteps = 1 << 17;
  static constexpr int kMaxPrintDepth = 256;

  struct Depth {
    Depth(int& d, int max) : d_(d) {
      if (++d_ > max) throw Fail{};
    }
    ~Depth() { --d_; }
    int& d_;
  };

  // The back-reference tables: ten names and ten argument types, fresh for
  // each template's arguments. Names are told apart by their mangled form.
  struct Tables {
    std::int32_t names[10];
    std::string_view spans[10];
    int nameCount = 0;
    std::int32_t types[10];
    int typeCount = 0;
  };

  // A list being gathered, then stored in one piece.
  struct List {
    std::int32_t items[kMaxList];
    std::uint32_t n = 0;
    void Add(std::int32_t v) {
      if (n >= kMaxList) throw Fail{};
      items[n++] = v;
    }
  };

  // ------------------------------------------------------------------ input

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

  // ------------------------------------------------------------------ nodes

  std::int32_t Add(const Node& n) {
    New() = n;
    return static_cast<std::int32_t>(nodes_.size() - 1);
  }
  // A node made in place: the common small ones are not copied.
  Node& New() {
    if (nodes_.size() >= kMaxNodes) throw Fail{};
    return nodes_.emplace_back();
  }
  std::int32_t Last() const { return static_cast<std::int32_t>(nodes_.size() - 1); }
  Node& At(std::int32_t i) { return nodes_[static_cast<std::size_t>(i)]; }
  std::int32_t Text(std::string_view t) {
    New().text = t;
    return Last();
  }
  std::int32_t Num(std::int64_t v) {
    Node& n = New();
    n.kind = Kind::Number;
    n.value = v;
    return Last();
  }
  std::int32_t Wrap(Kind k, std::int32_t a, std::string_view text = {}) {
    Node& n = New();
    n.kind = k;
    n.a = a;
    n.text = text;
    return Last();
  }
  void Store(Node& n, const List& l) {
    n.first = static_cast<std::uint32_t>(lists_.size());
    n.count = l.n;
    lists_.insert(lists_.end(), l.items, l.items + l.n);
  }
  std::int32_t Concat(std::initializer_list<std::int32_t> parts) {
    List l;
    for (std::int32_t p : parts) l.Add(p);
    Node n;
    n.kind = Kind::Concat;
    Store(n, l);
    return Add(n);
  }
  // Text made here (string literals, qualifier runs), kept where views stay valid.
  std::string_view Keep(std::string_view t) {
    if (gen_.size() + t.size() > gen_.capacity()) throw Fail{};
    std::size_t at = gen_.size();
    gen_.append(t);
    return std::string_view(gen_).substr(at, t.size());
  }
  // A type with a cv-qualifier after its left side.
  std::int32_t Qualify(std::int32_t t, std::string_view cv, bool dedupe = false) {
    if (cv.empty()) return t;
    Node& n = New();
    const Node& of = At(t);  // the flags stay those of the type
    n.function = of.function;
    n.grouped = of.grouped;
    n.indirect = of.indirect;
    n.hasRight = of.hasRight;
    n.kind = Kind::Suffix;
    n.a = t;
    n.text = cv;
    n.dedupe = dedupe;
    return Last();
  }

  // ------------------------------------------------------------------ numbers and names

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
  std::int32_t Offset() { return Num(static_cast<std::int32_t>(static_cast<std::uint32_t>(Number()))); }

  void Remember(std::int32_t node, std::string_view span) {
    if (t_.nameCount >= 10) return;
    for (int i = 0; i < t_.nameCount; ++i)
      if (t_.spans[i] == span) return;
    t_.names[t_.nameCount] = node;
    t_.spans[t_.nameCount++] = span;
  }

  std::string_view SimpleName() {
    std::size_t at = s_.find('@', p_);
    if (at == std::string_view::npos || at == p_) throw Fail{};
    std::string_view n = s_.substr(p_, at - p_);
    p_ = at + 1;
    return n;
  }

  // "?$name@args@": a fresh table for the arguments; the whole is remembered outside.
  std::int32_t TemplateName(bool* isOperator = nullptr) {
    Depth d(depth_, kMaxDepth);
    Tables saved = t_;
    t_ = Tables{};
    std::int32_t name;
    if (Peek() == '?') {
      ++p_;
      Special sp = Special::None;
      name = OperatorName(sp);
      if (sp != Special::None) throw Fail{};
      if (isOperator) *isOperator = true;
    } else {
      std::string_view n = SimpleName();
      name = Text(n);
      Remember(name, n);
    }
    List args;
    while (!Eat('@')) {
      std::int32_t a = TemplateArgument();
      if (a >= 0) args.Add(a);
    }
    t_ = saved;
    Node n;
    n.kind = Kind::Template;
    n.a = name;
    Store(n, args);
    return Add(n);
  }

  std::int32_t TemplateArgument() {
    if (Eat("$$V") || Eat("$$Z") || Eat("$S")) return -1;
    if (Eat("$0")) return Num(Number());
    if (Eat("$1")) {
      if (Peek() != '?') throw Fail{};
      return Wrap(Kind::Prefix, Symbol(), "&");
    }
    if (Eat("$E")) {
      if (Peek() != '?') throw Fail{};
      return Symbol();
    }
    if (Peek() == '$' && Peek(1) != '$') throw Fail{};
    std::size_t start = p_;
    std::int32_t t = ArgType();
    RememberType(t, start);
    return t;
  }

  // One piece of a qualified name.
  std::int32_t Fragment() {
    char c = Peek();
    if (c >= '0' && c <= '9') {
      ++p_;
      int i = c - '0';
      if (i >= t_.nameCount) throw Fail{};
      return t_.names[i];
    }
    std::size_t start = p_;
    if (c != '?') {
      std::string_view n = SimpleName();
      std::int32_t node = Text(n);
      Remember(node, n);
      return node;
    }
    if (Eat("?$")) {
      // An operator template is not remembered.
      bool op = false;
      std::int32_t n = TemplateName(&op);
      if (!op) Remember(n, s_.substr(start, p_ - start));
      return n;
    }
    if (Eat("?A")) {
      // An anonymous namespace, with or without its compiler-chosen tag.
      std::size_t at = s_.find('@', p_);
      if (at == std::string_view::npos) throw Fail{};
      p_ = at + 1;
      return Text("`anonymous namespace'");
    }
    ++p_;
    // A name nested in a scope: a whole symbol of its own.
    if (Peek() == '?') return Wrap(Kind::Quoted, Symbol());
    throw Fail{};
  }

  // The scopes after the first piece, up to the '@' that ends them.
  void Scopes(List& parts) {
    Depth d(depth_, kMaxDepth);
    while (!Eat('@')) {
      if (AtEnd()) throw Fail{};
      char k = Peek(1);
      if (Peek() == '?' && ((k >= '0' && k <= '9') || (k >= 'B' && k <= 'P'))) {
        // A function's local scope: "?" + its number + "?" + the function's own symbol.
        ++p_;
        parts.Add(Wrap(Kind::Quoted, Num(Number())));
        Expect('?');
        parts.Add(Wrap(Kind::Quoted, Symbol()));
        continue;
      }
      if (parts.n > 64) throw Fail{};
      parts.Add(Fragment());
    }
  }

  // The parts as parsed (innermost first), as one name.
  std::int32_t Join(const List& parts) {
    List outer;
    for (std::uint32_t i = parts.n; i-- > 0;) outer.Add(parts.items[i]);
    Node n;
    n.kind = Kind::Qualified;
    Store(n, outer);
    return Add(n);
  }

  std::int32_t Qualified() {
    List parts;
    parts.Add(Fragment());
    Scopes(parts);
    return Join(parts);
  }

  // After "?" in the first piece: an operator or special member.
  std::int32_t OperatorName(Special& sp) {
    char c = Next();
    if (c == '0' || c == '1' || c == 'B') {
      sp = c == '0' ? Special::Ctor : c == '1' ? Special::Dtor : Special::Conversion;
      return -1;
    }
    if (c != '_') {
      if (const char* n = Operator(c)) return Text(n);
      throw Fail{};
    }
    c = Next();
    if (c == '_') {
      c = Next();
      if (const char* n = OperatorDouble(c)) return Text(n);
      if (c == 'K') return Concat({Text("operator \"\""), Text(SimpleName())});
      if (c == 'E' || c == 'F') {
        std::int32_t what = Text(c == 'E' ? "`dynamic initializer for " : "`dynamic atexit destructor for ");
        if (Peek() == '?') {
          std::int32_t inner = Symbol();
          Expect('@');
          return Concat({what, Text("`"), inner, Text("''")});
        }
        return Concat({what, Text("'"), Text(SimpleName()), Text("''")});
      }
      throw Fail{};
    }
    if (c == 'R') {
      c = Next();
      switch (c) {
        case '1': {
          std::int32_t a = Offset(), b = Offset(), cc = Offset(), dd = Offset();
          std::int32_t comma = Text(", ");
          return Concat({Text("`RTTI Base Class Descriptor at ("), a, comma, b, comma, cc, comma, dd, Text(")'")});
        }
        case '2': return Text("`RTTI Base Class Array'");
        case '3': return Text("`RTTI Class Hierarchy Descriptor'");
        case '4': return Text("`RTTI Complete Object Locator'");
        default: throw Fail{};
      }
    }
    if (const char* n = OperatorUnderscore(c)) return Text(n);
    throw Fail{};
  }

  std::int32_t Symbol() {
    Depth d(depth_, kMaxDepth);
    Expect('?');
    if (Peek() == '@') throw Fail{};  // a hash of an over-long name: nothing to show
    if (Eat("?_C@_")) return StringLiteral();
    if (Eat("?_R0")) {
      Node n;
      n.kind = Kind::Symbol;
      n.sym = SymbolKind::TypeDescriptor;
      n.a = ArgType();
      Expect('@');
      Expect('8');
      return Add(n);
    }
    List parts;
    Special sp = Special::None;
    if (Eat("?$")) {
      // The symbol's own name, when a template, is not remembered.
      parts.Add(TemplateName());
    } else if (Peek() == '?') {
      ++p_;
      parts.Add(OperatorName(sp));
    } else {
      parts.Add(Fragment());
    }
    Scopes(parts);
    if (sp == Special::Ctor || sp == Special::Dtor) {
      if (parts.n < 2) throw Fail{};
      parts.items[0] = sp == Special::Dtor ? Wrap(Kind::Prefix, parts.items[1], "~") : parts.items[1];
    }
    return Encoding(parts, sp);
  }

  // The part after the name: what kind of symbol, then its type.
  std::int32_t Encoding(List& parts, Special sp) {
    static constexpr std::string_view kStatic[] = {"private: static ", "protected: static ", "public: static ", "", ""};
    Node sym;
    sym.kind = Kind::Symbol;
    char c = Next();
    // A conversion operator's name comes from its return type: only a function has one.
    if (sp == Special::Conversion && !((c >= 'A' && c <= 'Z') || c == '$')) throw Fail{};
    if (c >= '0' && c <= '4') {
      if (sp != Special::None) throw Fail{};
      sym.sym = SymbolKind::Variable;
      sym.text = kStatic[c - '0'];
      std::int32_t t = ArgType();
      std::string_view cv = StorageLetter();
      const Node& tn = At(t);
      if (!tn.indirect && !tn.function) t = Qualify(t, cv);
      sym.b = t;
      sym.a = Join(parts);
      return Add(sym);
    }
    if (c == '6' || c == '7') {
      sym.sym = SymbolKind::Table;
      sym.a = Join(parts);
      StorageLetter();
      List fors;
      if (!Eat('@'))
        while (!Eat('@')) fors.Add(Qualified());
      Store(sym, fors);
      return Add(sym);
    }
    if (c == '8') return Join(parts);
    std::string prefix;
    std::int32_t suffix = -1;
    bool member = false;
    if (c >= 'A' && c <= 'X') {
      int k = c - 'A';
      int kind = (k % 8) / 2;  // 0 plain, 1 static, 2 virtual, 3 adjustor thunk
      prefix = kAccess[k / 8];
      if (kind == 1) prefix += "static ";
      if (kind == 2) prefix += "virtual ";
      if (kind == 3) {
        prefix = "[thunk]: " + prefix + "virtual ";
        suffix = Concat({Text("`adjustor{"), Num(Number()), Text("}'")});
      }
      member = kind != 1;
    } else if (c == 'Y' || c == 'Z') {
    } else if (c == '$') {
      char a = Next();
      bool ex = a == 'R';
      if (ex) a = Next();
      if (a < '0' || a > '5') throw Fail{};
      prefix = "[thunk]: " + std::string(kAccess[(a - '0') / 2]) + "virtual ";
      std::int32_t comma = Text(", ");
      if (ex) {
        std::int32_t w = Offset(), x = Offset(), y = Offset(), z = Offset();
        suffix = Concat({Text("`vtordispex{"), w, comma, x, comma, y, comma, z, Text("}'")});
      } else {
        std::int32_t x = Offset(), y = Offset();
        suffix = Concat({Text("`vtordisp{"), x, comma, y, Text("}'")});
      }
      member = true;
    } else {
      throw Fail{};
    }
    Node fn;
    fn.kind = Kind::Function;
    fn.function = fn.hasRight = true;
    if (member) fn.text = ThisQualifiers();
    const char* cc = Convention(Next());
    if (!cc) throw Fail{};
    fn.cc = cc;
    bool noReturn = Eat('@');
    if ((sp == Special::Ctor || sp == Special::Dtor) != noReturn) throw Fail{};
    if (!noReturn) fn.a = ReturnType();
    if (sp == Special::Conversion) parts.items[0] = Wrap(Kind::Prefix, fn.a, "operator ");
    Parameters(fn);
    ThrowSpec();
    sym.sym = SymbolKind::Function;
    sym.text = Keep(prefix);
    sym.a = Join(parts);
    sym.b = Add(fn);
    sym.c = suffix;
    return Add(sym);
  }

  // cv-qualifiers and the like of a member function's object.
  std::string_view ThisQualifiers() {
    bool restrict = false, unaligned = false;
    std::string_view ref;
    std::string order;  // __restrict and __unaligned in the order given
    for (;;) {
      if (Eat('E')) continue;  // __ptr64: every pointer of a 64-bit image is
      if (Eat('I')) order += " __restrict", restrict = true;
      else if (Eat('F')) order += " __unaligned", unaligned = true;
      else if (Eat('G')) ref = " &";
      else if (Eat('H')) ref = " &&";
      else break;
      if (order.size() > 64) throw Fail{};
    }
    std::string_view cv = CvLetter(Next());
    if (!restrict && !unaligned && ref.empty()) return cv;
    std::string q(cv);
    q += order;
    q += ref;
    return Keep(q);
  }

  static std::string_view CvLetter(char c) {
    switch (c) {
      case 'A': return "";
      case 'B': return " const";
      case 'C': return " volatile";
      case 'D': return " const volatile";
      default: throw Fail{};
    }
  }

  // The storage class after a variable's type: cv-qualifiers of the object.
  std::string_view StorageLetter() {
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

  std::int32_t ReturnType() {
    if (Eat('?')) {
      std::string_view cv = CvLetter(Next());
      return Qualify(ArgType(), cv);
    }
    return ArgType();
  }

  void RememberType(std::int32_t t, std::size_t start) {
    if (p_ - start > 1 && t_.typeCount < 10) t_.types[t_.typeCount++] = t;
  }

  void Parameters(Node& fn) {
    if (Eat('X')) {
      fn.voidParams = true;
      return;
    }
    List params;
    for (;;) {
      if (Eat('@')) break;
      if (Eat('Z')) {
        fn.variadic = true;
        break;
      }
      char c = Peek();
      if (c >= '0' && c <= '9') {
        ++p_;
        int i = c - '0';
        if (i >= t_.typeCount) throw Fail{};
        params.Add(t_.types[i]);
      } else {
        std::size_t start = p_;
        std::int32_t t = ArgType();
        RememberType(t, start);
        params.Add(t);
      }
    }
    if (params.n == 0 && !fn.variadic) throw Fail{};
    Store(fn, params);
  }

  void ThrowSpec() {
    if (Eat('Z')) return;
    if (Eat("_E")) return;
    throw Fail{};
  }

  std::int32_t ArgType() {
    Depth d(depth_, kMaxDepth);
    char c = Next();
    if (const char* n = Primitive(c)) return Text(n);
    switch (c) {
      case '_': {
        if (const char* n = Extended(Next())) return Text(n);
        throw Fail{};
      }
      case 'T': return Wrap(Kind::Prefix, Qualified(), "union ");
      case 'U': return Wrap(Kind::Prefix, Qualified(), "struct ");
      case 'V': return Wrap(Kind::Prefix, Qualified(), "class ");
      case 'W': {
        static const char* const kEnum[] = {"enum char ", "enum unsigned char ", "enum short ", "enum unsigned short ",
                                            "enum ", "enum unsigned int ", "enum long ", "enum unsigned long "};
        char k = Next();
        if (k < '0' || k > '7') throw Fail{};
        return Wrap(Kind::Prefix, Qualified(), kEnum[k - '0']);
      }
      case 'P': return Pointer("*", 0);
      case 'Q': return Pointer("*", 1);
      case 'R': return Pointer("*", 2);
      case 'S': return Pointer("*", 3);
      case 'A': return Pointer("&", 0);
      case 'B': return Pointer("&", 2);
      case 'Y': return Array();
      case '?': {
        // A placeholder for a deduced type, "?<auto>@@".
        if (Peek() == '<') return Qualified();
        std::string_view cv = CvLetter(Next());
        return Qualify(ArgType(), cv);
      }
      case '$': break;
      default: throw Fail{};
    }
    Expect('$');
    c = Next();
    switch (c) {
      case 'T': return Text("std::nullptr_t");
      case 'Q': return Pointer("&&", 0);
      case 'R': return Pointer("&&", 2);
      case 'A':
        Expect('6');
        return FunctionType(false);
      case 'B':
        Expect('Y');
        return Array();
      case 'C': {
        std::string_view cv = CvLetter(Next());
        return Qualify(ArgType(), cv);
      }
      default: throw Fail{};
    }
  }

  // "Y" + count of dimensions + each dimension + the element type.
  std::int32_t Array() {
    std::int64_t n = Number();
    if (n <= 0 || n > 32) throw Fail{};
    List dims;
    for (std::int64_t i = 0; i < n; ++i) dims.Add(Num(Number()));
    Node t;
    t.kind = Kind::Array;
    t.hasRight = true;
    t.a = ArgType();
    Store(t, dims);
    return Add(t);
  }

  std::int32_t FunctionType(bool member) {
    Node t;
    t.kind = Kind::Function;
    t.function = t.hasRight = true;
    if (member) t.text = ThisQualifiers();
    const char* cc = Convention(Next());
    if (!cc) throw Fail{};
    t.cc = cc;
    t.a = ReturnType();
    Parameters(t);
    ThrowSpec();
    return Add(t);
  }

  // A pointer or reference ("*", "&", "&&") with its own cv-qualifiers, then
  // the pointee's modifiers and cv-letter, then the pointee.
  std::int32_t Pointer(std::string_view op, std::uint8_t cv) {
    Node t;
    t.kind = Kind::Pointer;
    t.indirect = true;
    t.text = op;
    t.cv = cv;
    for (;;) {
      if (Eat('E')) continue;
      if (Eat('I')) t.restrict = true;
      else if (Eat('F')) t.unaligned = true;
      else break;
    }
    char c = Next();
    if (c == '6') {
      t.a = FunctionType(false);
    } else if (c == '8') {
      t.b = Qualified();
      t.a = FunctionType(true);
    } else if (c >= 'A' && c <= 'D') {
      std::string_view pcv = CvLetter(c);
      std::int32_t p = ArgType();
      if (At(p).function) throw Fail{};
      // A pointer's own qualifiers were given by its letter already.
      t.a = Qualify(p, pcv, true);
    } else if (c >= 'Q' && c <= 'T') {
      t.b = Qualified();
      std::string_view pcv = CvLetter(static_cast<char>(c - 'Q' + 'A'));
      t.a = Qualify(ArgType(), pcv);
    } else {
      throw Fail{};
    }
    const Node& p = At(t.a);
    t.grouped = t.hasRight = p.function || p.grouped || p.hasRight;
    return Add(t);
  }

  // "??_C@_" + width ('0' narrow, '1' wide) + length + hash + the first bytes.
  std::int32_t StringLiteral() {
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
    return Text(Keep(r));
  }

  // ------------------------------------------------------------------ printing

  void Put(std::string_view t) {
    out_.append(t);
    if (out_.size() > kMaxOutput) throw Fail{};
  }
  void Step() {
    if (++steps_ > kMaxSteps) throw Fail{};
  }
  bool EndsIndirect() const { return !out_.empty() && IsIndirectMark(out_.back()); }
  // The convention of a function type, through its qualifiers.
  const char* ConventionOf(std::int32_t n) {
    while (At(n).kind == Kind::Suffix) n = At(n).a;
    return At(n).cc;
  }

  void PrintList(const Node& n, std::string_view sep) {
    for (std::uint32_t i = 0; i < n.count; ++i) {
      if (i != 0) Put(sep);
      Print(lists_[n.first + i]);
    }
  }

  void Print(std::int32_t i) {
    Depth d(printDepth_, kMaxPrintDepth);
    Step();
    const Node& n = At(i);
    switch (n.kind) {
      case Kind::Text: Put(n.text); break;
      case Kind::Number: {
        char buf[24];
        std::uint64_t v = n.value < 0 ? 0 - static_cast<std::uint64_t>(n.value) : static_cast<std::uint64_t>(n.value);
        char* e = buf + sizeof buf;
        char* q = e;
        do {
          *--q = static_cast<char>('0' + v % 10);
          v /= 10;
        } while (v != 0);
        if (n.value < 0) *--q = '-';
        Put(std::string_view(q, static_cast<std::size_t>(e - q)));
        break;
      }
      case Kind::Template:
        Print(n.a);
        Put("<");
        PrintList(n, ", ");
        Put(">");
        break;
      case Kind::Qualified: PrintList(n, "::"); break;
      case Kind::Quoted:
        Put("`");
        Print(n.a);
        Put("'");
        break;
      case Kind::Prefix:
        Put(n.text);
        Print(n.a);
        break;
      case Kind::Concat: PrintList(n, ""); break;
      case Kind::Symbol: PrintSymbol(n); break;
      default:
        // A type on its own, as an argument.
        Left(i);
        if (n.function) {
          Put(" ");
          Put(ConventionOf(i));
        }
        Right(i);
    }
  }

  void Mark(const Node& n) {
    if (n.b >= 0) {
      Print(n.b);
      Put("::");
    }
    Put(n.text);
    Put(kPointerCv[n.cv]);
    if (n.restrict) Put("__restrict");
  }

  void Left(std::int32_t i) {
    Depth d(printDepth_, kMaxPrintDepth);
    Step();
    const Node& n = At(i);
    switch (n.kind) {
      case Kind::Suffix:
        Left(n.a);
        if (!(n.dedupe && At(n.a).indirect && std::string_view(out_).ends_with(n.text.substr(1)))) Put(n.text);
        break;
      case Kind::Pointer: {
        const Node& p = At(n.a);
        Left(n.a);
        if (p.function) {
          Put(" (");
          Put(ConventionOf(n.a));
          Put(" ");
        } else if (p.grouped) {
        } else if (p.hasRight) {
          if (n.unaligned) Put(" __unaligned");
          Put(" (");
        } else {
          bool tight = !n.unaligned && EndsIndirect();
          if (n.unaligned) Put(" __unaligned");
          if (!tight) Put(" ");
        }
        Mark(n);
        break;
      }
      case Kind::Array: Left(n.a); break;
      case Kind::Function:
        if (n.a >= 0) Left(n.a);
        break;
      default: Print(i);
    }
  }

  void Right(std::int32_t i) {
    Depth d(printDepth_, kMaxPrintDepth);
    Step();
    const Node& n = At(i);
    switch (n.kind) {
      case Kind::Suffix: Right(n.a); break;
      case Kind::Pointer: {
        const Node& p = At(n.a);
        if (p.function || (!p.grouped && p.hasRight)) Put(")");
        if (n.grouped) Right(n.a);
        break;
      }
      case Kind::Array:
        for (std::uint32_t k = 0; k < n.count; ++k) {
          Put("[");
          Print(lists_[n.first + k]);
          Put("]");
        }
        Right(n.a);
        break;
      case Kind::Function:
        Params(n);
        Put(n.text);
        if (n.a >= 0) Right(n.a);
        break;
      default: break;
    }
  }

  void Params(const Node& fn) {
    Put("(");
    if (fn.voidParams) {
      Put("void");
    } else {
      PrintList(fn, ", ");
      if (fn.variadic) Put(fn.count ? ", ..." : "...");
    }
    Put(")");
  }

  void PrintSymbol(const Node& s) {
    switch (s.sym) {
      case SymbolKind::Variable: {
        Put(s.text);
        const Node& t = At(s.b);
        Left(s.b);
        if (!t.grouped && !t.hasRight && !EndsIndirect()) Put(" ");
        Print(s.a);
        Right(s.b);
        break;
      }
      case SymbolKind::Table:
        Put("const ");
        Print(s.a);
        if (s.count) {
          Put("{for `");
          PrintList(s, "'s `");
          Put("'}");
        }
        break;
      case SymbolKind::TypeDescriptor:
        Print(s.a);
        Put(" `RTTI Type Descriptor'");
        break;
      case SymbolKind::Function: {
        const Node fn = At(s.b);
        Put(s.text);
        if (fn.a >= 0) {
          Left(fn.a);
          Put(" ");
        }
        Put(fn.cc);
        Put(" ");
        Print(s.a);
        if (s.c >= 0) Print(s.c);
        Params(fn);
        Put(fn.text);
        if (fn.a >= 0) Right(fn.a);
        break;
      }
    }
  }

  std::string_view s_;
  std::size_t p_ = 0;
  int depth_ = 0, printDepth_ = 0;
  std::uint32_t steps_ = 0;
  Tables t_;
  std::vector<Node>& nodes_;
  std::vector<std::int32_t>& lists_;
  std::string& gen_;
  std::string& out_;
};

}  // namespace

std::optional<std::string> DemangleMicrosoft(std::string_view name) {
  if (name.size() < 2 || name.size() > kMaxInput || name[0] != '?') return std::nullopt;
  thread_local Buffers buffers;
  try {
    std::string r = Parser(name, buffers).Run();
    if (r.empty()) return std::nullopt;
    return r;
  } catch (const Fail&) {
    return std::nullopt;
  }
}

}  // namespace kestrova::dumper::demangle
