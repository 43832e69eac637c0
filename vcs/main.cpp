// Entry of the console program kvcs; the program itself lives in the front library.
#include "vcs/run.h"

int main(int argc, char** argv) { return kestrun::vcs::console_main(argc, argv); }
