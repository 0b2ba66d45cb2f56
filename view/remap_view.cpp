// Remap view: set-up hook and per-frame drawing, OpenGL 1.1 immediate mode.
#include "view/remap_view.h"

#include "assets/gl_api.h"

#include "assets/mesh_pair.h"
#include "assets/texture.h"
#include "support/log.h"
#include "support/settings.h"
#include "support/window_state.h"

void plxInit()
{
    // The frame turns both off again; this is the state the hook leaves behind.
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    // The settings are read once more, but the window exists now: its real placement,
    // kept by WM_MOVE and WM_SIZE, stands over the file's, which start-up may have
    // refused as unusable.
    const WindowState live = window_state;
    ReadConfig(ProgramPath("config.txt"));
    window_state = live;
    LogResume();
    remap_texture.LoadPNG("texture.png", TEX_LINEAR);
    LoadRemapMeshes("mesh1.obj", "mesh2.obj");
}

void DrawVerticalBand(float x)
{
    const float height = static_cast<float>(window_state.window_height);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex3f(x + 1, 0, 0);
    glTexCoord2f(0, 0);
    glVertex3f(x, 0, 0);
    glTexCoord2f(0, height * 0.125f);
    glVertex3f(x, height, 0);
    glTexCoord2f(0, height * 0.125f);
    glVertex3f(x + 1, height, 0);
    glEnd();
}

void DrawHorizontalBand(float y)
{
    const float width = static_cast<float>(window_state.window_width);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex3f(0, y, 0);
    glTexCoord2f(0, 0);
    glVertex3f(0, y + 1, 0);
    glTexCoord2f(width * 0.125f, 0);
    glVertex3f(width, y + 1, 0);
    glTexCoord2f(width * 0.125f, 0);
    glVertex3f(width, y, 0);
    glEnd();
}

void DrawRemapTable(float scale_x, float scale_y, float offset_x, float offset_y)
{
    glBegin(GL_TRIANGLES);
    for (int32_t i = 0; i < remap_table.count; ++i) {
        if (!remap_table.drawable[i])
            continue;
        const RemapTriangle& triangle = remap_table.triangles[i];
        for (int c = 0; c < 3; ++c) {
            glTexCoord2f(triangle.source[c].u, triangle.source[c].v);
            glVertex3f(scale_x * triangle.target[c].u + offset_x, scale_y * triangle.target[c].v + offset_y, 0);
        }
    }
    glEnd();
}

void DrawRemapView()
{
    glClearColor(0, 0, 1, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, window_state.window_width, window_state.window_height, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glLoadIdentity();
    glDisable(GL_BLEND);

    glEnable(GL_TEXTURE_2D);
    // Until an image is loaded there is no texture to bind: name 0 is GL's default.
    const int32_t name = remap_texture.GetName();
    glBindTexture(GL_TEXTURE_2D, name == -1 ? 0u : static_cast<GLuint>(name));
    glColor4f(1, 1, 1, 1);
    DrawRemapTable(static_cast<float>(remap_texture.width), static_cast<float>(remap_texture.height),
                   REMAP_OFFSET, REMAP_OFFSET);
    glDisable(GL_TEXTURE_2D);
    glColor4f(1, 1, 1, 1);

    DrawVerticalBand(19.0f);
    DrawHorizontalBand(19.0f);
    DrawVerticalBand(static_cast<float>(remap_texture.width + 20.0));
    DrawHorizontalBand(static_cast<float>(remap_texture.height + 20.0));
}
