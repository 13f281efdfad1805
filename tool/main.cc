#include "tool/tProgramEntry.h"

int main(int argc, char** argv) { return nDRAVI100::runProgram(argc, argv); }
