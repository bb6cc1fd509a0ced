// The Manager's part of a new environment: its storage and the first administrator.
#pragma once

// Run inside the new environment directory. Prints its progress and, on failure, its own
// error lines, "Korvane environment initialization failed." among them where it applies.
// 0 or -1.
int mgr_init_environment();
