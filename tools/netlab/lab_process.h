// A piece of a network test running in a child process inside a private
// namespace: its standard output is collected, its standard input is a
// pipe the test can type keys into, and it is killed if it overruns.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "net_namespace.h"

// One child.
struct LabProcess {
    pid_t pid = -1;
    int output_fd = -1;  // the child's standard output (and error), read end
    int input_fd = -1;   // the child's standard input, write end
    std::string output;  // everything collected so far
    int status = -1;     // raw wait status once it ended
    bool ended = false;
};

// Starts body in a child that has entered ns; its exit code is body's
// result (255 when it could not enter the namespace).
bool start_in_namespace(LabProcess& process, const NetNamespace& ns,
                        const std::function<int()>& body);

// Types text into the child's standard input.
void send_keys(LabProcess& process, const std::string& text);

// Collects output until text has appeared (from offset from on) or
// timeout_ms passed; whether it appeared.
bool wait_for_output(LabProcess& process, const std::string& text, int timeout_ms, size_t from = 0);

// Collects the output of all of them until every one has ended; those still
// running after timeout_ms are killed. True when all ended by themselves.
bool finish_processes(const std::vector<LabProcess*>& processes, int timeout_ms);

// The exit code of an ended child, or -1 (killed, crashed, running).
int exit_code(const LabProcess& process);

// The processes whose parent is pid, as /proc lists them now.
std::vector<pid_t> child_processes(pid_t pid);
