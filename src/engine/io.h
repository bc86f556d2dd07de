// How the engine's outputs end: used by the driver when the run is over.
#pragma once

// Flushes standard output and closes the output stream (standard output
// itself when file print goes to the console). Reports, once each, an output
// file that could not be opened or any write that failed. Returns true when
// everything the program asked to write was written.
bool close_outputs();
