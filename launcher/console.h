// Console attachment for a GUI-subsystem program.
#pragma once

// Attaches to the starting process's console, gives every standard stream a
// descriptor, makes stdout and stderr unbuffered and points the process's
// standard handles at the streams. Reports nothing.
void attach_console(void);
