#pragma once

#include <QElapsedTimer>

// Lets through at most `perWindow` warnings in each window of `windowMs` and counts the rest, so
// a flood of the same event costs a few log lines a second, not one line per event.
class WarningLimiter
{
public:
    explicit WarningLimiter(int perWindow = 10, qint64 windowMs = 1000)
        : perWindow(perWindow), windowMs(windowMs)
    {
    }

    // True when this warning may be written; false when it is only counted.
    bool allow()
    {
        if (!window.isValid() || window.elapsed() >= windowMs) {
            window.start();
            inWindow = 0;
        }
        if (inWindow >= perWindow) {
            ++held;
            return false;
        }
        ++inWindow;
        return true;
    }

    // The warnings held back since the last call; the count starts again.
    quint64 takeSuppressed()
    {
        const quint64 n = held;
        held = 0;
        return n;
    }

private:
    int perWindow;
    qint64 windowMs;
    QElapsedTimer window;
    int inWindow = 0;
    quint64 held = 0;
};
