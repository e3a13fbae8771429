#pragma once
// The per-user Run-key value that starts the program once at the next logon with /autorun.
// It is written outside the program; the program only recognises and removes it.

// Set once by the entry point, before any window or thread exists, when the program was
// started by the Run-key value; read-only afterwards.
extern bool g_autorunMode;

// True when the value is a REG_SZ of at most 260 characters that contains "/autorun"
// (case-sensitive, anywhere).
bool IsAutorunRegistered();

// Deletes the value when the key can be opened for writing; silent otherwise.
void RemoveAutorunRegistration();
