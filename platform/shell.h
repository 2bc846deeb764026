#pragma once

#include <string>

class Shell {
public:
    // Opens a document or web address with its associated program; reports nothing.
    virtual void ShellOpen(const std::string& target) = 0;

protected:
    ~Shell() = default;
};
