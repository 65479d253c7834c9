#pragma once
#include <cstdio>

// Children of the installer. Argument lists are plain C strings ended by a
// null pointer (at most 14 arguments). Results are raw wait statuses; -1 is
// a failure of the runner itself, exit code 127 a program that could not be
// started.

// Runs path to completion, chrooted into root when root is not null, with
// standard input from /dev/null and output to the log terminal.
int run_program(const char* root, const char* path, ...) __attribute__((sentinel));

// Starts path with its standard output on the returned stream.
FILE* open_read_pipe(const char* path, ...) __attribute__((sentinel));

// Starts path with its standard input fed from the returned stream. An
// argument ">null" is left out and sends the program's output to the log
// terminal instead of the console.
FILE* open_write_pipe(const char* path, ...) __attribute__((sentinel));

// Closes the stream of the one pipe child and waits for that child.
int close_pipe(FILE* stream);

// Process id of the one pipe child, or -1.
extern volatile int pipe_child_pid;
