// The real window under Wine: creation and teardown logs, viewport and projection, and
// what each message does to the shared state.
#include <gtest/gtest.h>

#include <windows.h>

#include "assets/gl_api.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "assets/mesh_pair.h"
#include "shell/app.h"
#include "shell/gl_window.h"
#include "shell/window_proc.h"
#include "support/log.h"
#include "support/window_state.h"
#include "testlib/temp_dir.h"

namespace {

const std::vector<std::string> kCreationLog = {
    "CreateGLWindow: start", "CreateGLWindow: register class", "CreateGLWindow: adjustwindowrect",
    "CreateGLWindow: create window", "title=\"texwarp\"", "plaxe_winx=50", "plaxe_winy=60",
    "width=400", "height=300"};

class GLWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_state = LogState();
        LogOpen(dir.File("log.txt").c_str());
        window_state = WindowState{400, 300, 50, 60, 0, false, 0, 0};
        mouse_tracked = false;
        ASSERT_TRUE(CreateGLWindow("texwarp", 400, 300, 32));
        window_handles.arrow_cursor = LoadCursorA(nullptr, IDC_ARROW);
        Pump();
    }
    void TearDown() override
    {
        if (window_handles.window)
            DestroyGLWindow();
        log_state = LogState();
    }
    static void Pump()
    {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    static LRESULT Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0)
    {
        return SendMessageA(window_handles.window, message, wparam, lparam);
    }
    std::vector<std::string> Log() const { return ReadLines(dir.File("log.txt")); }
    TempDir dir;
};

std::vector<GLint> Viewport()
{
    std::vector<GLint> viewport(4);
    glGetIntegerv(GL_VIEWPORT, viewport.data());
    return viewport;
}

TEST_F(GLWindow, CreationLogsEachStepInOrder)
{
    std::vector<std::string> expected = kCreationLog;
    expected.insert(expected.end(),
                    {"CreateGLWindow: dc stuff", "CreateGLWindow: init gl", "CreateGLWindow: done"});
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(window_state.window_width, 400);
    EXPECT_EQ(window_state.window_height, 300);
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));

    DestroyGLWindow();
    const auto log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
              (std::vector<std::string>{"delete OpenGL context", "release DC", "destroy main window",
                                        "unregister main class"}));
}

TEST_F(GLWindow, ResizeViewportSetsViewportAndPixelProjection)
{
    ResizeViewport(320, 0);
    EXPECT_EQ(window_state.window_width, 320);
    EXPECT_EQ(window_state.window_height, 1);  // height 0 becomes 1
    EXPECT_EQ(Viewport(), (std::vector<GLint>{0, 0, 320, 1}));

    window_state.window_width = 200;
    window_state.window_height = 100;
    ResizeViewport(-1, -1);  // re-applies the stored size
    EXPECT_EQ(Viewport(), (std::vector<GLint>{0, 0, 200, 100}));
    GLdouble m[16];
    glGetDoublev(GL_PROJECTION_MATRIX, m);
    EXPECT_NEAR(m[0], 2.0 / 200, 1e-7);
    EXPECT_NEAR(m[5], -2.0 / 100, 1e-7);  // y grows downwards
    EXPECT_NEAR(m[10], 1.0, 1e-7);        // near 1, far -1
    EXPECT_NEAR(m[12], -1.0, 1e-7);
    EXPECT_NEAR(m[13], 1.0, 1e-7);
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
}

TEST_F(GLWindow, MoveAndSizeMessagesUpdateThePlacement)
{
    // The frame WM_MOVE takes off is the one the real window has (with a padded
    // border too, which the test prefix gives windows as Windows 10 does).
    RECT outer;
    GetWindowRect(window_handles.window, &outer);
    POINT origin = {0, 0};
    ClientToScreen(window_handles.window, &origin);
    const POINT offset = ClientOffset();
    EXPECT_EQ(origin.x - outer.left, offset.x);
    EXPECT_EQ(origin.y - outer.top, offset.y);
    const LPARAM off_screen = MAKELPARAM(static_cast<WORD>(-30), static_cast<WORD>(-40));
    EXPECT_EQ(Send(WM_MOVE, 0, off_screen), 0);
    EXPECT_EQ(window_state.window_x, -30 - offset.x);
    EXPECT_EQ(window_state.window_y, -40 - offset.y);

    EXPECT_EQ(Send(WM_SIZE, SIZE_RESTORED, MAKELPARAM(640, 0)), 0);
    EXPECT_EQ(window_state.window_width, 640);
    EXPECT_EQ(window_state.window_height, 1);
    EXPECT_EQ(Viewport(), (std::vector<GLint>{0, 0, 640, 1}));

    // The real window: moved and sized by the system, the client corner is the outer
    // corner plus the frame.
    SetWindowPos(window_handles.window, nullptr, 70, 90, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    Pump();
    EXPECT_EQ(window_state.window_x, 70);
    EXPECT_EQ(window_state.window_y, 90);
}

TEST_F(GLWindow, OnlyTheThirdPaintSinceALoopFrameDraws)
{
    window_state.paint_count = 0;  // as after a frame of the main loop
    glClearColor(0.5f, 0.5f, 0.5f, 0.0f);
    GLfloat clear[4];
    for (int paint = 1; paint <= 2; ++paint) {
        Send(WM_PAINT);
        glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
        EXPECT_FLOAT_EQ(clear[2], 0.5f) << "paint " << paint;
    }
    Send(WM_PAINT);
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    EXPECT_FLOAT_EQ(clear[2], 1.0f);  // the view cleared to blue
    EXPECT_EQ(window_state.paint_count, 3);
}

TEST_F(GLWindow, CloseOnlyRequestsTheEnd)
{
    EXPECT_EQ(Send(WM_CLOSE), 0);
    EXPECT_TRUE(window_state.close_requested);
    Pump();
    EXPECT_TRUE(IsWindow(window_handles.window));
}

TEST_F(GLWindow, InertMessagesAnswerZeroAndChangeNothing)
{
    const WindowState before = window_state;
    const struct {
        UINT message;
        WPARAM wparam;
        LPARAM lparam;
    } inert[] = {
        {WM_ACTIVATE, WA_ACTIVE, 0},          {WM_CHAR, 'a', 1},
        {WM_SYSKEYDOWN, VK_F4, 1 << 29},      {WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5)},
        {WM_LBUTTONUP, 0, MAKELPARAM(5, 5)},  {WM_RBUTTONDOWN, MK_RBUTTON, 0},
        {WM_RBUTTONUP, 0, 0},                 {WM_MBUTTONDOWN, MK_MBUTTON, 0},
        {WM_MBUTTONUP, 0, 0},                 {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0},
    };
    for (const auto& m : inert)
        EXPECT_EQ(Send(m.message, m.wparam, m.lparam), 0) << "message " << m.message;
    Pump();  // Alt+F4 left nothing behind that closes the window
    EXPECT_EQ(std::memcmp(&before, &window_state, sizeof before), 0);
    EXPECT_FALSE(mouse_tracked);
}

TEST_F(GLWindow, PointerMovementArmsTheLeaveNotificationAndResetsIdling)
{
    window_state.idle_count = 55;
    EXPECT_EQ(Send(WM_MOUSEMOVE, 0, MAKELPARAM(10, 10)), 0);
    EXPECT_TRUE(mouse_tracked);
    EXPECT_EQ(window_state.idle_count, 0);
    EXPECT_EQ(Send(WM_MOUSELEAVE), 0);
    EXPECT_FALSE(mouse_tracked);
}

TEST_F(GLWindow, ArrowIsSetOverTheClientAreaOnly)
{
    SetWindowPos(window_handles.window, nullptr, 50, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    Pump();
    POINT centre = {200, 150};
    ClientToScreen(window_handles.window, &centre);
    SetCursorPos(centre.x, centre.y);
    const LPARAM hit = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
    mouse_tracked = false;
    EXPECT_TRUE(CursorInClientArea());
    EXPECT_FALSE(SelectCursor());  // no leave notification asked for yet

    mouse_tracked = true;
    SetCursor(nullptr);
    EXPECT_EQ(Send(WM_SETCURSOR, reinterpret_cast<WPARAM>(window_handles.window), hit), 0);
    EXPECT_EQ(GetCursor(), window_handles.arrow_cursor);

    SetCursorPos(window_state.window_x + 1, window_state.window_y + 1);  // on the frame
    mouse_tracked = true;
    EXPECT_FALSE(CursorInClientArea());
    EXPECT_FALSE(SelectCursor());
}

TEST(StartPlacement, UnusableStoredPlacementsFallBack)
{
    const int max_w = GetSystemMetrics(SM_CXMAXTRACK), max_h = GetSystemMetrics(SM_CYMAXTRACK);
    using Placement = std::vector<int>;  // width, height, x, y, maximized
    const struct {
        Placement stored, chosen;
    } rows[] = {
        {{640, 480, 100, 80, 0}, {640, 480, 100, 80, 0}},
        {{1, 1, 100, 80, 0}, {1, 1, 100, 80, 0}},
        {{max_w, max_h, 0, 0, 0}, {max_w, max_h, 0, 0, 0}},
        {{0, -5, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, 0, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{max_w + 1, 480, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, max_h + 1, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{INT_MAX, INT_MAX, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, 480, 9000, 9000, 0}, {640, 480, 0, 0, 0}},
        {{640, 480, INT_MAX, INT_MIN, 0}, {640, 480, 0, 0, 0}},
        {{640, 480, 100, 80, 1}, {950, 650, 0, 0, 1}},
    };
    for (const auto& row : rows) {
        const Placement& s = row.stored;
        window_state = WindowState{s[0], s[1], s[2], s[3], s[4], false, 0, 0};
        ChooseStartPlacement();
        EXPECT_EQ(Placement({window_state.window_width, window_state.window_height, window_state.window_x,
                             window_state.window_y, window_state.window_maximized}),
                  row.chosen);
    }
}

TEST(StartPlacement, WorkspaceCoordinatesShiftByTheWorkArea)
{
    const RECT monitor = {0, 0, 1280, 1024}, top_bar = {0, 40, 1280, 1024}, left_bar = {60, 0, 1280, 1024};
    const RECT normal = {10, 20, 110, 220};
    const RECT below = WorkspaceToScreen(normal, top_bar, monitor);
    const RECT beside = WorkspaceToScreen(normal, left_bar, monitor);
    EXPECT_EQ(std::vector<LONG>({below.left, below.top, below.right, below.bottom}),
              std::vector<LONG>({10, 60, 110, 260}));
    EXPECT_EQ(std::vector<LONG>({beside.left, beside.top, beside.right, beside.bottom}),
              std::vector<LONG>({70, 20, 170, 220}));
}

// Refuses every window, so creation fails and the error box cannot block the test.
LRESULT CALLBACK RefuseWindows(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_CREATEWND)
        return 1;
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST(GLWindowFailure, CreationFailureTearsDownAndReportsFalse)
{
    TempDir dir;
    log_state = LogState();
    LogOpen(dir.File("log.txt").c_str());
    window_state = WindowState{400, 300, 50, 60, 0, false, 0, 0};
    const HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseWindows, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    EXPECT_FALSE(CreateGLWindow("texwarp", 400, 300, 32));
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(window_handles.window, nullptr);
    std::vector<std::string> expected = kCreationLog;
    expected.push_back("unregister main class");
    EXPECT_EQ(ReadLines(dir.File("log.txt")), expected);
    log_state = LogState();
}

}  // namespace
