#pragma once
// The benchmarks' clock: the performance counter from the moment of construction or Restart.

#include <windows.h>

class Stopwatch {
public:
    Stopwatch() { Restart(); }
    void Restart() { QueryPerformanceCounter(&m_start); }
    double Seconds() const
    {
        LARGE_INTEGER now = {}, frequency = {};
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
    }
    double Milliseconds() const { return 1000.0 * Seconds(); }

private:
    LARGE_INTEGER m_start = {};
};
