#pragma once

// Builds the process-wide objects in their fixed order, before main. The exit-time destructors
// run in the reverse order: the Client still held is destroyed first, then the interrupt
// request thread and the console logger (which prints its queued lines), and the updater last,
// since in its restart state it replaces the process.
void InitProcessObjects();
