// A minimal test harness for the C++ core: TEST(name) registers a case, CHECK
// records a failure and goes on, REQUIRE stops the case.
#pragma once

#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};
std::vector<Case>& registry();
void record_failure(const char* file, int line, const std::string& what);

struct Stop {};

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                 \
    static void CHECK_CONCAT(test_, name)();                                       \
    static check::Register CHECK_CONCAT(reg_, name)(#name, CHECK_CONCAT(test_, name)); \
    static void CHECK_CONCAT(test_, name)()

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) check::record_failure(__FILE__, __LINE__, #cond);     \
    } while (0)
#define REQUIRE(cond)                                                      \
    do {                                                                   \
        if (!(cond)) {                                                     \
            check::record_failure(__FILE__, __LINE__, #cond);              \
            throw check::Stop{};                                           \
        }                                                                  \
    } while (0)
#define CHECK_EQ(a, b)                                                     \
    do {                                                                   \
        auto&& check_a_ = (a);                                             \
        auto&& check_b_ = (b);                                             \
        if (!(check_a_ == check_b_)) {                                     \
            std::ostringstream check_os_;                                  \
            check_os_ << #a " == " #b " (" << check_a_ << " vs " << check_b_ << ")"; \
            check::record_failure(__FILE__, __LINE__, check_os_.str());    \
        }                                                                  \
    } while (0)
#define CHECK_NEAR(a, b, tol) CHECK(std::fabs(double(a) - double(b)) <= (tol))
// Expects `expr` to throw `Type`; `pred(e)` may inspect it.
#define CHECK_THROWS_AS(expr, Type)                                        \
    do {                                                                   \
        bool check_thrown_ = false;                                        \
        try {                                                              \
            (void)(expr);                                                  \
        } catch (const Type&) {                                            \
            check_thrown_ = true;                                          \
        }                                                                  \
        if (!check_thrown_) check::record_failure(__FILE__, __LINE__, "expected " #Type " from " #expr); \
    } while (0)
