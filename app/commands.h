#pragma once
// The modes of the quillmark executable. Each takes the arguments after the
// mode word (the working directory has already been changed by -C) and
// returns the process exit status.
#include <cstdio>
#include <string>
#include <vector>

using Args = std::vector<std::string>;

int runHeadless(const Args& args);
int runDialog(int argc, char** argv, const Args& args);
int runDetect(const Args& args);
int runPattern(const Args& args);
int runMarker(const Args& args);
int runCalibrate(const Args& args);
// The calibrate command's usage, printed with its refusals and by its help.
const char* calibrateUsage();

// Every command's usage, one block each.
void printUsage(FILE* out);
// One command's block ("--headless", "detect", ...; "" for the dialog).
void printCommandUsage(const std::string& command, FILE* out);
