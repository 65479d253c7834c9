#pragma once

// Why the installer built for a workstation must not start here, or null
// when it runs on a test machine. It refuses in the workstation's own
// process-id namespace (and when it cannot tell), because there it would
// load modules, unmount and restart the machine it was started on.
const char* host_start_refusal();
