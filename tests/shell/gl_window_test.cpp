// The real window under Wine: its creation and teardown, what each message does to the
// shared state, one pass of the main loop, and the placement chosen at start.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "assets/gl_api.h"
#include "shell/app.h"
#include "shell/gl_window.h"
#include "shell/window_proc.h"
#include "support/log.h"
#include "support/window_state.h"
#include "testlib/files.h"
#include "testlib/placement.h"

namespace {

// Refuses every window, so creation fails and the error box cannot block the test.
LRESULT CALLBACK RefuseWindows(int code, WPARAM wparam, LPARAM lparam)
{
    return code == HCBT_CREATEWND ? 1 : CallNextHookEx(nullptr, code, wparam, lparam);
}

class GLWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogOpen(dir.File("log.txt").c_str());
        window_state = WindowState{400, 300, 50, 60, 0, false, 0, 0};
        mouse_tracked = false;
        SetCursorPos(0, 0);  // off the window: a pointer over it would reset the idle count
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
    TempDir dir;
};

TEST_F(GLWindow, CreatedDrawableAndTornDownInOrder)
{
    PIXELFORMATDESCRIPTOR format = {};
    DescribePixelFormat(window_handles.dc, GetPixelFormat(window_handles.dc), sizeof format, &format);
    EXPECT_TRUE((format.dwFlags & 0x25u) == 0x25u && format.cDepthBits >= 16);  // window, OpenGL, double-buffered, depth
    const auto get_interval = reinterpret_cast<int(WINAPI*)()>(
        reinterpret_cast<void (*)()>(wglGetProcAddress("wglGetSwapIntervalEXT")));
    EXPECT_TRUE(get_interval && get_interval() == 0);  // no waiting for the vertical retrace
    DestroyGLWindow();
    DestroyGLWindow();  // a second teardown finds nothing left to release
    WNDCLASSA gone;
    EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), "plaxe", &gone));

    // A window that cannot be made tears down what was made and reports false.
    const HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseWindows, nullptr, GetCurrentThreadId());
    EXPECT_FALSE(CreateGLWindow("texwarp", 400, 300, 32));
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(window_handles.window, nullptr);
    // Torn down once, then the class alone twice: after the second call, and after the failure.
    const std::vector<std::string> log = ReadLines(dir.File("log.txt"));
    std::string counts;
    for (const char* line : {"delete OpenGL context", "release DC", "destroy main window", "unregister main class"})
        counts += std::to_string(std::count(log.begin(), log.end(), line));
    EXPECT_EQ(counts + log[log.size() - 2], "1113height=300");
}

TEST_F(GLWindow, MessagesKeepTheStateInStep)
{
    const POINT offset = ClientOffset();
    Send(WM_MOVE, 0, MAKELPARAM(WORD(-30), WORD(-40)));  // signed: off the left and top edges
    EXPECT_EQ(Placement(), (std::vector<int>{400, 300, -30 - offset.x, -40 - offset.y, 0}));

    EXPECT_EQ(Send(WM_SIZE, SIZE_RESTORED, MAKELPARAM(640, 0)), 0);  // height 0 becomes 1
    GLint viewport[8];
    glGetIntegerv(GL_VIEWPORT, viewport);
    window_state.window_width = 200;
    window_state.window_height = 100;
    ResizeViewport(-1, -1);  // applies the stored size again
    glGetIntegerv(GL_VIEWPORT, viewport + 4);
    EXPECT_EQ(std::vector<int>(viewport, viewport + 8), (std::vector<int>{0, 0, 640, 1, 0, 0, 200, 100}));

    // Only the third paint since a frame of the main loop draws (the view clears to blue).
    window_state.paint_count = 0;
    GLfloat clear[4];
    for (int paint = 1; paint <= 3; ++paint) {
        glClearColor(0.5f, 0.5f, 0.5f, 0);
        Send(WM_PAINT);
        glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
        EXPECT_EQ(clear[2], paint < 3 ? 0.5f : 1.0f) << "paint " << paint;
    }
    EXPECT_EQ(Send(WM_CLOSE), 0);
    Pump();
    EXPECT_TRUE(window_state.close_requested && IsWindow(window_handles.window));  // closed at shutdown only
}

TEST_F(GLWindow, InputChangesNothingButPacingAndTheCursor)
{
    const std::vector<int> before = Placement();
    for (const auto& m : std::vector<std::vector<LPARAM>>{  // message, wparam, lparam
             {WM_ACTIVATE, WA_ACTIVE, 0}, {WM_CHAR, 'a', 1}, {WM_SYSKEYDOWN, VK_F4, 1 << 29}, {WM_LBUTTONDOWN, 1, 0},
             {WM_RBUTTONUP, 0, 0}, {WM_MBUTTONDOWN, 16, 0}, {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0}})
        EXPECT_EQ(Send(UINT(m[0]), WPARAM(m[1]), m[2]), 0) << "message " << m[0];
    Pump();  // Alt+F4 left nothing behind that closes the window
    EXPECT_TRUE(Placement() == before && !window_state.close_requested && !mouse_tracked);

    // Over the client area the program sets the arrow, once a leave notification is asked for.
    RECT client;
    GetClientRect(window_handles.window, &client);
    POINT corners[2] = {{0, 0}, {client.right - 1, client.bottom - 1}};
    MapWindowPoints(window_handles.window, nullptr, corners, 2);
    const LPARAM hit = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
    for (const POINT& p : corners) {
        SetCursorPos(p.x, p.y);
        mouse_tracked = false;
        EXPECT_TRUE(CursorInClientArea() && !SelectCursor());
        window_state.idle_count = 55;
        EXPECT_EQ(Send(WM_MOUSEMOVE, 0, 0), 0);
        TRACKMOUSEEVENT query = {sizeof query, TME_QUERY, nullptr, 0};  // the leave notification Windows will send
        EXPECT_TRUE(TrackMouseEvent(&query) && query.hwndTrack == window_handles.window && (query.dwFlags & TME_LEAVE));
        EXPECT_TRUE(mouse_tracked && window_state.idle_count == 0);
        SetCursor(nullptr);
        EXPECT_EQ(Send(WM_SETCURSOR, WPARAM(window_handles.window), hit), 0);
        EXPECT_EQ(GetCursor(), window_handles.arrow_cursor);
    }
    for (const POINT& p : {POINT{corners[1].x + 1, corners[1].y}, POINT{corners[1].x, corners[1].y + 1}}) {
        SetCursorPos(p.x, p.y);  // just past the right and bottom edges
        EXPECT_FALSE(CursorInClientArea());
    }
    EXPECT_TRUE(Send(WM_MOUSELEAVE) == 0 && !mouse_tracked);
}

TEST_F(GLWindow, LoopPassesDrawPaceAndQuit)
{
    int code = 0;
    bool quit = false;
    window_state.paint_count = 5;
    window_state.idle_count = 40;
    EXPECT_TRUE(RunLoopPass(&code, &quit));  // drew a frame
    EXPECT_EQ(std::vector<int>({window_state.paint_count, window_state.idle_count, quit}), std::vector<int>({0, 41, 0}));
    PostQuitMessage(7);
    window_state.idle_count = INT_MAX;  // months of idling: the count stops
    EXPECT_FALSE(RunLoopPass(&code, &quit));
    EXPECT_EQ(std::vector<int>({code, quit, window_state.paint_count, window_state.idle_count == INT_MAX}),
              std::vector<int>({7, 1, 0, 1}));
    window_state.close_requested = true;
    window_state.paint_count = 2;
    EXPECT_FALSE(RunLoopPass(&code, &quit));
    EXPECT_EQ(window_state.paint_count, 2);  // no frame once a close is asked for
}

TEST(StartPlacement, UnusableStoredPlacementsFallBack)
{
    const int max_w = GetSystemMetrics(SM_CXMAXTRACK), max_h = GetSystemMetrics(SM_CYMAXTRACK);
    const std::vector<int> rows[][2] = {  // stored, chosen: width, height, x, y, maximized
        {{640, 480, 100, 80, 0}, {640, 480, 100, 80, 0}},      {{1, 1, 100, 80, 0}, {1, 1, 100, 80, 0}},
        {{max_w, max_h, 0, 0, 0}, {max_w, max_h, 0, 0, 0}},    {{0, -5, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, 0, 100, 80, 0}, {950, 650, 100, 80, 0}},        {{max_w + 1, 480, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, max_h + 1, 100, 80, 0}, {950, 650, 100, 80, 0}}, {{INT_MAX, INT_MAX, 100, 80, 0}, {950, 650, 100, 80, 0}},
        {{640, 480, 9000, 9000, 0}, {640, 480, 0, 0, 0}},      {{640, 480, INT_MAX, INT_MIN, 0}, {640, 480, 0, 0, 0}},
        {{640, 480, 100, 80, 1}, {950, 650, 0, 0, 1}},
    };
    for (const auto& [s, chosen] : rows) {
        window_state = WindowState{s[0], s[1], s[2], s[3], s[4], false, 0, 0};
        ChooseStartPlacement();
        EXPECT_EQ(Placement(), chosen);
    }
    // A minimized window's normal placement is in workspace coordinates: a taskbar at
    // the top or the left shifts it.
    const RECT monitor = {0, 0, 1280, 1024}, normal = {10, 20, 110, 220};
    const RECT below = WorkspaceToScreen(normal, RECT{0, 40, 1280, 1024}, monitor);
    const RECT beside = WorkspaceToScreen(normal, RECT{60, 0, 1280, 1024}, monitor);
    EXPECT_EQ(std::vector<LONG>({below.left, below.top, below.right, below.bottom, beside.left, beside.top}),
              std::vector<LONG>({10, 60, 110, 260, 70, 20}));
}

}  // namespace
