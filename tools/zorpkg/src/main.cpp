// zorpkg: the command-line tool for application packages and cycle profiles.
#include "command_line.hpp"

int main(int argc, char** argv) { return zorpkg::run_command_line(argc, argv); }
