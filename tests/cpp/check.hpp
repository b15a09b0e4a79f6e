#pragma once
// A deliberately tiny test harness: TEST_CASE registers a function, CHECK and CHECK_EQ record
// failures without stopping the test, and run_all() (called from main.cpp) reports and returns
// non-zero if anything failed.

#include <cstdint>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quillet::check {

/// One registered test: its name and its body.
struct test_case {
  const char* name;
  void (*body)();
};

/// Every test of the executable, in registration order.
inline std::vector<test_case>& registry() {
  static std::vector<test_case> tests;
  return tests;
}

/// Failed checks so far.
inline int& failures() {
  static int count = 0;
  return count;
}

/// Registers a test during static initialisation; TEST_CASE makes one per test.
struct registrar {
  registrar(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

/// Printable form of a value for failure messages; bytes outside printable ASCII are escaped.
template <class T>
std::string show(const T& value) {
  std::ostringstream out;
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out << '"';
    for (const char c : std::string_view(value)) {
      const auto b = static_cast<unsigned char>(c);
      if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
        out << c;
      } else {
        static constexpr char hex[] = "0123456789ABCDEF";
        out << "\\x" << hex[b >> 4] << hex[b & 0xF];
      }
    }
    out << '"';
  } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    out << +value << " (0x" << std::hex << std::uppercase << +value << ')';
  } else {
    out << value;
  }
  return out.str();
}

/// Counts and reports one failed check.
inline void fail(const char* file, int line, const std::string& what) {
  ++failures();
  std::fprintf(stderr, "%s:%d: FAILED %s\n", file, line, what.c_str());
}

/// Runs the tests whose name contains filter (all when empty); returns the process exit code.
inline int run_all(std::string_view filter = {}) {
  int ran = 0;
  for (const test_case& t : registry()) {
    if (std::string_view(t.name).find(filter) == std::string_view::npos) continue;
    const int before = failures();
    try {
      t.body();
    } catch (const std::exception& e) {
      fail(__FILE__, __LINE__, std::string("uncaught exception: ") + e.what());
    }
    ++ran;
    if (failures() != before) std::fprintf(stderr, "  in test %s\n", t.name);
  }
  std::fprintf(stderr, "%d test(s), %d failed check(s)\n", ran, failures());
  return failures() == 0 && ran > 0 ? 0 : 1;
}

/// Extra text for a failure message: nothing, or the printed form of one value in brackets.
inline std::string context() { return {}; }
template <class T>
std::string context(const T& what) {
  return " [" + show(what) + "]";
}

}  // namespace quillet::check

#define QUILLET_CHECK_CAT2(a, b) a##b
#define QUILLET_CHECK_CAT(a, b) QUILLET_CHECK_CAT2(a, b)

/// Defines and registers a test: TEST_CASE("name") { ... }
#define TEST_CASE(name)                                                            \
  static void QUILLET_CHECK_CAT(test_fn_, __LINE__)();                             \
  static const ::quillet::check::registrar QUILLET_CHECK_CAT(test_reg_, __LINE__){ \
      name, &QUILLET_CHECK_CAT(test_fn_, __LINE__)};                               \
  static void QUILLET_CHECK_CAT(test_fn_, __LINE__)()

/// Records a failure if cond is false; the test goes on.
#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) ::quillet::check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
  } while (false)

/// Records a failure, with both values, unless a == b. An optional third argument (anything
/// show() can print) is added to the message, to tell the rows of a table apart.
#define CHECK_EQ(a, b, ...)                                                                                           \
  do {                                                                                                                \
    const auto& check_a_ = (a);                                                                                       \
    const auto& check_b_ = (b);                                                                                       \
    if (!(check_a_ == check_b_)) {                                                                                    \
      ::quillet::check::fail(__FILE__, __LINE__,                                                                      \
                             "CHECK_EQ(" #a ", " #b "): " + ::quillet::check::show(check_a_) +                        \
                                 " != " + ::quillet::check::show(check_b_) + ::quillet::check::context(__VA_ARGS__)); \
    }                                                                                                                 \
  } while (false)
