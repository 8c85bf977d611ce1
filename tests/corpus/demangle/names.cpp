// Built for 32- and 64-bit Windows in both compilers' schemes (an object file
// in the Visual C++ scheme by clang, a DLL by mingw's g++), so the cross-check
// has real mangled names of every kind: members and their conventions,
// operators, templates, nested and local names, lambdas, function and member
// pointers, arrays, RTTI and virtual tables.
namespace std {
using size_t = decltype(sizeof(0));
}

namespace outer {
namespace inner {
struct Base {
  virtual ~Base();
  virtual int Open(const char* path, unsigned mode);
  virtual void Poll() const volatile;
  int field;
};
struct Other {
  virtual void Go();
};
class Derived : public Base, public virtual Other {
 public:
  Derived();
  Derived(const Derived&);
  Derived(Derived&&);
  ~Derived() override;
  Derived& operator=(const Derived&);
  bool operator==(const Derived&) const;
  int operator[](std::size_t) const;
  Derived& operator<<(int);
  void operator()(double, ...);
  operator bool() const;
  operator const char*() const;
  void* operator new(std::size_t);
  void operator delete(void*);
  void* operator new[](std::size_t);
  void operator delete[](void*);
  int Open(const char* path, unsigned mode) override;
  void Go() override;
  static Derived* __stdcall Make(int (*cb)(void*, long), void (Derived::*m)(int), int Base::*f);
  void Ref() &;
  void Ref() &&;
  static int counter;
  static const char* const names[4];

 protected:
  virtual long long __fastcall Shift(unsigned long long, signed char, wchar_t, char16_t, char32_t);

 private:
  float Scale(float (&m)[3][4], const double* const* rows, volatile short*);
  static long double Precise(unsigned short, unsigned char, long, unsigned long);
};
}  // namespace inner

template <class T, int N>
struct Box {
  T items[N];
  T Get(int i) const;
  template <class U>
  U Cast() const;
  static Box<T, N>* Self(Box<T, N>*, const Box<T, N>&);
};

template <class... Ts>
void Pack(Ts...);

enum class Color : unsigned char { Red };
enum Plain { A };
union Word {
  int i;
  float f;
};

int __cdecl Cdecl(Color, Plain, Word, inner::Derived&&);
int __stdcall Stdcall(int, int);
int __fastcall Fastcall(int, int);
#if defined(_MSC_VER)
int __vectorcall Vectorcall(int, int);
#endif
void Nullptr(decltype(nullptr));
void FnRef(void (&)(int));
void Arr(int (*)[8]);
}  // namespace outer

namespace {
int Hidden(int x) { return x + 1; }
}  // namespace

extern "C" int __stdcall CStdcall(int, int) { return 0; }
extern "C" int __fastcall CFastcall(int, int, int) { return 0; }

namespace outer {
namespace inner {
Base::~Base() {}
int Base::Open(const char*, unsigned) { return 0; }
void Base::Poll() const volatile {}
void Other::Go() {}
Derived::Derived() {}
Derived::Derived(const Derived&) : Base(), Other() {}
Derived::Derived(Derived&&) {}
Derived::~Derived() {}
Derived& Derived::operator=(const Derived&) { return *this; }
bool Derived::operator==(const Derived&) const { return true; }
int Derived::operator[](std::size_t) const { return 0; }
Derived& Derived::operator<<(int) { return *this; }
void Derived::operator()(double, ...) {}
Derived::operator bool() const { return true; }
Derived::operator const char*() const { return ""; }
void* Derived::operator new(std::size_t) { static char b[64]; return b; }
void Derived::operator delete(void*) {}
void* Derived::operator new[](std::size_t) { static char b[256]; return b; }
void Derived::operator delete[](void*) {}
int Derived::Open(const char*, unsigned) { return 1; }
void Derived::Go() {}
Derived* __stdcall Derived::Make(int (*)(void*, long), void (Derived::*)(int), int Base::*) { return nullptr; }
void Derived::Ref() & {}
void Derived::Ref() && {}
long long __fastcall Derived::Shift(unsigned long long, signed char, wchar_t, char16_t, char32_t) { return 0; }
float Derived::Scale(float (&)[3][4], const double* const*, volatile short*) { return 0; }
long double Derived::Precise(unsigned short, unsigned char, long, unsigned long) { return 0; }
}  // namespace inner

template <class T, int N>
T Box<T, N>::Get(int i) const { return items[i]; }
template <class T, int N>
template <class U>
U Box<T, N>::Cast() const { return U(); }
template <class T, int N>
Box<T, N>* Box<T, N>::Self(Box<T, N>* p, const Box<T, N>&) { return p; }
template <class... Ts>
void Pack(Ts...) {}
int __cdecl Cdecl(Color, Plain, Word, inner::Derived&&) { return 0; }
int __stdcall Stdcall(int, int) { return 0; }
int __fastcall Fastcall(int, int) { return 0; }
#if defined(_MSC_VER)
int __vectorcall Vectorcall(int, int) { return 0; }
#endif
void Nullptr(decltype(nullptr)) {}
void FnRef(void (&)(int)) {}
void Arr(int (*)[8]) {}
}  // namespace outer

int outer::inner::Derived::counter = 1;
const char* const outer::inner::Derived::names[4] = {"a", "b", "c", "d"};

int Local() {
  static int once = Hidden(2);
  struct Inner {
    static int Get() { return 3; }
  };
  return once + Inner::Get();
}

template <class T>
T Square(T v) {
  return v * v;
}

template <class F>
int Apply(F f) {
  return f(1);
}

void Use() {
  outer::inner::Derived d;
  outer::inner::Derived e(d);
  outer::inner::Derived f(static_cast<outer::inner::Derived&&>(e));
  d = f;
  (void)(d == e);
  (void)d[std::size_t{1}];
  d << 3;
  d(1.0, 2, 3);
  (void)static_cast<bool>(d);
  (void)static_cast<const char*>(d);
  delete new outer::inner::Derived;
  delete[] new outer::inner::Derived[2];
  d.Ref();
  outer::inner::Derived().Ref();
  outer::inner::Derived::Make(nullptr, nullptr, nullptr);
  outer::Box<int, 3> b{};
  outer::Box<outer::Box<char, 2>, 1> bb{};
  (void)b.Get(0);
  (void)b.Cast<long>();
  (void)bb.Get(0);
  outer::Box<int, 3>::Self(&b, b);
  outer::Pack(1, 'c', 2.0, &b);
  outer::Pack();
  outer::Cdecl(outer::Color::Red, outer::A, outer::Word{}, static_cast<outer::inner::Derived&&>(d));
  outer::Stdcall(1, 2);
  outer::Fastcall(1, 2);
#if defined(_MSC_VER)
  outer::Vectorcall(1, 2);
#endif
  outer::Nullptr(nullptr);
  outer::Arr(nullptr);
  (void)Square(2);
  (void)Square(2.5);
  (void)Square<unsigned long long>(3);
  (void)Local();
  (void)Apply([](int x) { return x + 1; });
  (void)Apply([&b](int x) { return x + b.items[0]; });
}
