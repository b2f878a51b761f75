#include <iostream>

#include "commands.h"

int main(int argc, char **argv) { return quillcli::RunCli(argc, argv, std::cout, std::cerr); }
