#pragma once

// The levels of log lines. The engine passes a level on to the sink and never interprets it;
// every component uses these four consistently, so that a host can filter by them.
namespace LogLevel {
constexpr int kDetail = 1;  // settings, modules loaded, changes, successful reads
constexpr int kStep = 2;    // registrations, the steps of a scan, each delivered file
constexpr int kMajor = 3;   // start and end of scans, mounts and unmounts; cancellations
constexpr int kError = 4;   // refusals and errors
}  // namespace LogLevel
