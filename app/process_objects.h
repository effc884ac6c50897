#pragma once

// Builds the process-wide objects in their fixed order, before main. The exit-time destructors
// run in the reverse order: the interrupt request thread stops first (after the requests already
// posted), then the Client still held is destroyed, then the console logger prints its queued
// lines, and the updater goes last, since in its restart state it replaces the process.
void InitProcessObjects();
