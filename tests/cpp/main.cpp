#include "check.hpp"

// Usage: quillet_cpp_tests [substring of test names to run]
int main(int argc, char** argv) { return quillet::check::run_all(argc > 1 ? argv[1] : ""); }
