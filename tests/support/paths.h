#pragma once
// Where the checkout and the built quillmark executable are. Only paths.cpp
// is compiled with them, so every other test source is the same text in
// every checkout and the shared compiler cache serves them all.
#include <string>

// The checkout's root (Data/, docs/, README.md below it).
const std::string& sourceDir();
// The quillmark executable of this build.
const std::string& quillmarkExe();
