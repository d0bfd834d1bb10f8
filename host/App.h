#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/Options.h"

class CPhotoRecovery;

namespace salvor {

// Runs the salvor command line; returns the exit status.
int RunSalvor(int argc, char** argv);

// Applies --types/--exclude (a handler that cannot produce a wanted type is disabled) and
// --set to the engine's handlers; a type's Enabled=0 is moved into options.exclude, since the
// handler may produce other types. False with a one-line reason for an unknown type, handler
// or property, a refused value, or filters that leave nothing to recover.
bool ConfigureHandlers(CPhotoRecovery* engine, Options& options, std::string& error);

}  // namespace salvor
