#pragma once

#include <ostream>

// A row of a table-driven test, shown by its name in test listings and failure messages.
// Not an aggregate, so a row's name needs no braces of its own.
struct NamedCase {
    NamedCase(const char* caseName) : name(caseName) {}

    const char* name;

    friend std::ostream& operator<<(std::ostream& os, const NamedCase& c) { return os << c.name; }
};
