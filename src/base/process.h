// Start-up of a process that runs the stages: what must hold before the first
// file is opened, whatever state the process was started in.
#pragma once

// Attaches each of the descriptors 0, 1 and 2 that is closed to /dev/null, so
// that no data file the run opens is handed one of them (progress text would
// be written into it), and ignores SIGXFSZ, so that a write beyond the
// file-size limit fails with EFBIG and reports its file's write error instead
// of killing the process without a word. Call first in main.
void prepare_process();
