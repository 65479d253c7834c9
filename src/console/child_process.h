#pragma once
#include <cstdio>

// Children of the installer. Argument lists are plain C strings ended by a
// null pointer (at most 14 arguments; more make the call fail). Results are
// raw wait statuses; -1 is a failure of the runner itself, exit code 127 a
// program that could not be started. No child reads from the console, and
// no child inherits descriptors 3 to 15 of the installer.
//
// SIGCHLD is kept blocked while a runner has a child it will wait for (from
// the fork until its waitpid has returned; for the pipe child from the open
// until close_pipe has waited), so the SIGCHLD handler can never collect a
// child whose status a runner is about to report. Children start with
// SIGCHLD unblocked.

// Runs path to completion, chrooted into root when root is not null, with
// standard input from /dev/null and output to the log terminal.
int run_program(const char* root, const char* path, ...) __attribute__((sentinel));

// Starts path with its standard output on the returned stream, standard
// input from /dev/null and standard error on the log terminal. Null when a
// pipe child already exists or the start failed.
FILE* open_read_pipe(const char* path, ...) __attribute__((sentinel));

// Starts path with its standard input fed from the returned stream. An
// argument ">null" is left out and sends the program's output to the log
// terminal instead of the console. Null as for open_read_pipe.
FILE* open_write_pipe(const char* path, ...) __attribute__((sentinel));

// Closes the stream of the one pipe child and waits for that child. -1
// without a pipe child (the stream is left alone), or when closing the
// stream fails (the child is then left to the SIGCHLD handler).
int close_pipe(FILE* stream);

// Process id of the one pipe child, or -1.
extern volatile int pipe_child_pid;
