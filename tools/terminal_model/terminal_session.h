// Runs a piece of the installer in a child process whose standard input
// and output are a pseudo-terminal, types keys into it and collects what
// it writes, as the operator's terminal would see it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Keys to type once the output so far contains wait_for (at once when
// wait_for is empty), after action (when given) has run.
struct TerminalStep {
    std::string wait_for;
    std::string keys;
    std::function<void()> action;  // e.g. make a peer on the network answer
    int timeout_ms = 10000;         // how long wait_for may take to appear

    TerminalStep(std::string wait, std::string typed, std::function<void()> then = {},
                 int timeout = 10000)
        : wait_for(std::move(wait)),
          keys(std::move(typed)),
          action(std::move(then)),
          timeout_ms(timeout) {}
};

// What a session produced.
struct TerminalSession {
    std::string output;  // every byte the child wrote to the terminal
    int exit_code = -1;  // the child's exit code; -1 if it did not exit by itself
    std::string error;   // why the session failed (a wait that timed out), or empty
};

// How the terminal is set up before the child starts.
struct TerminalSetup {
    // Canonical input and echo off before the child runs, so that keys
    // typed early are neither echoed nor held back.
    bool key_input = true;
    // Standard output of the child fully buffered, as on a pipe: only an
    // explicit flush sends anything.
    bool fully_buffered = false;
};

// Runs body in the child (its return value is the exit code), typing the
// steps' keys in turn, and waits for the child to end (at most timeout_ms
// per step, and 10 s of silence at the end).
TerminalSession run_on_terminal(const std::function<int()>& body,
                                const std::vector<TerminalStep>& steps,
                                const TerminalSetup& setup = TerminalSetup());

// The terminal attributes a child sees on its standard input after body
// ran: the local flags (c_lflag) before and after.
struct LocalFlags {
    unsigned before = 0;
    unsigned after = 0;
    unsigned char vmin_before = 0, vmin_after = 0;
    unsigned char vtime_before = 0, vtime_after = 0;
};
LocalFlags local_flags_around(const std::function<void()>& body);
