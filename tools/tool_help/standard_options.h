// The options every tool answers the same way, as its first argument:
// --help (or -h) prints the tool's help text on standard output, --version
// prints "NAME (Brindlex Router Software) VERSION". The manual pages are
// made from these two outputs.
#pragma once

// The version of the tools, one for all of them.
extern const char* const TOOLS_VERSION;

// When argv[1] is --help, -h or --version: prints the answer and returns
// the tool's exit status (0, or 1 when standard output could not take it).
// Otherwise -1, and the tool reads its arguments as usual:
//
//   if (int status = answer_standard_option(argc, argv, NAME, HELP); status >= 0) return status;
int answer_standard_option(int argc, char** argv, const char* name, const char* help);
