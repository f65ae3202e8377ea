#pragma once
// The tool's process from start to exit: the application object, the
// window, the orderly stop on SIGTERM, SIGINT and SIGHUP, and teardown in
// order (window, then application).

#include <functional>

class QWidget;

// Runs the tool and returns the event loop's exit code: the main window, or
// with --history FILE the history window alone. `started`, when given, runs
// once from the event loop with the window that was shown; test hosts use it
// to drive that window the way a person would.
int runKorvane(int& argc, char** argv, const std::function<void(QWidget&)>& started = {});
