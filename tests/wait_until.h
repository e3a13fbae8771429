#pragma once
// The tests' one poller, for conditions that come true on another thread, in another
// process, or through this thread's own messages.

#include <windows.h>

#include <functional>

// Dispatches every queued message of this thread.
inline void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Looks at the condition until it holds; false when it still does not after the time-out.
// In between it dispatches this thread's messages, so the test's own windows keep answering.
inline bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        PumpPending();
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}
