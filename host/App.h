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
// --set to the engine's handlers. False with a one-line reason for an unknown handler or
// property, or a --types list that no handler produces.
bool ConfigureHandlers(CPhotoRecovery* engine, const Options& options, std::string& error);

}  // namespace salvor
