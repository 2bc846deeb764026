#pragma once

#include <string>

class Http {
public:
    // The body of one GET of url, or the empty text when it could not be fetched.
    virtual std::string DownloadUrlText(const std::string& url) = 0;

protected:
    ~Http() = default;
};
