#pragma once
// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes; optionally the process works inside it.
#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Makes path()/Data and changes the working directory to path() until
    // destruction, so the system's "Data/..." paths land here.
    void enterWithData();

private:
    std::string path_;
    std::string previousDir_;
};

// Whole file contents as bytes ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
