// The dialog base of the window framework: whether a message counts as handled is decided
// per message, whatever nested messages its handler sends.

#include <gtest/gtest.h>

#include <cwchar>

#include "res/resource.h"
#include "ui/window.h"

namespace {

enum : UINT {
    kRunCases = WM_APP + 20,
    kHandledAfterNestedDefault,  // sends kLeftToDefault, then answers 42 itself
    kLeftToDefault,
    kAnswered,
};

constexpr wchar_t kTitle[] = L"abcde";

// Sends its cases from inside its own modal loop and keeps what they returned.
class NestingDialog : public ui::Dialog {
public:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case WM_INITDIALOG: PostMessageW(m_hwnd, kRunCases, 0, 0); return TRUE;
        case kRunCases: RunCases(); return 0;
        case kHandledAfterNestedDefault: SendMessageW(m_hwnd, kLeftToDefault, 0, 0); return 42;
        case kLeftToDefault: return DefaultHandling(message, wParam, lParam);
        case kAnswered: return 7;
        case WM_GETTEXTLENGTH: return LeaveToDefaultAfterNestedAnswer(message, wParam, lParam);
        default: return DefaultHandling(message, wParam, lParam);
        }
    }

    LRESULT handledAfterNestedDefault = -1;
    LRESULT lengthAfterNestedAnswer = -1;
    LRESULT answeredAlone = -1;

private:
    // The default processing's answer (the title's length) must come back, although the nested
    // message was handled.
    LRESULT LeaveToDefaultAfterNestedAnswer(UINT message, WPARAM wParam, LPARAM lParam)
    {
        const LRESULT result = DefaultHandling(message, wParam, lParam);
        SendMessageW(m_hwnd, kAnswered, 0, 0);
        return result;
    }

    void RunCases()
    {
        SetWindowTextW(m_hwnd, kTitle);
        handledAfterNestedDefault = SendMessageW(m_hwnd, kHandledAfterNestedDefault, 0, 0);
        lengthAfterNestedAnswer = SendMessageW(m_hwnd, WM_GETTEXTLENGTH, 0, 0);
        answeredAlone = SendMessageW(m_hwnd, kAnswered, 0, 0);
        EndDialog(1);
    }
};

}  // namespace

TEST(Dialog, NestedMessagesDoNotDecideWhetherTheOuterOneWasHandled)
{
    NestingDialog dialog;
    ASSERT_EQ(dialog.DoModal(nullptr, IDD_PROGRESS), 1);
    EXPECT_EQ(dialog.answeredAlone, 7);
    EXPECT_EQ(dialog.handledAfterNestedDefault, 42);
    EXPECT_EQ(dialog.lengthAfterNestedAnswer, static_cast<LRESULT>(wcslen(kTitle)));
}
