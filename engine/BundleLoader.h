#pragma once

// The platform side of plug-in module loading. A module path names either a shared library
// file or a bundle directory Name.bundle that holds its library as Name.bundle/Name.so.
// Every message goes straight to standard error, never through the engine's log.

// Loads the module's library unless `bundle` already holds a loaded one, looks up `entryName`
// into `entry` (null when the library has no such function) and makes the module's directory
// the process's working directory. False when nothing could be loaded; `bundle` then stays
// as it was.
bool importBundleExecutable(const char* path, const char* entryName, void*& entry, void*& bundle);

// Unloads a library loaded by importBundleExecutable and clears the handle; a null handle is
// left alone.
void unloadBundleExecutable(void*& bundle);
