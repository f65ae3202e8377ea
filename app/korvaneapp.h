#pragma once
// The tool's process from start to exit: the application object, the
// window, the orderly stop on SIGTERM, SIGINT and SIGHUP, and teardown in
// order (window, then application).

#include <functional>

class Korvane;

// Runs the tool and returns the event loop's exit code. `started`, when
// given, runs once from the event loop after the window is shown; test hosts
// use it to drive the window the way a person would.
int runKorvane(int& argc, char** argv, const std::function<void(Korvane&)>& started = {});
