#pragma once

#include <QByteArray>

// How the web view's frames reach the screen. By default Chromium composites each frame with
// OpenGL and Qt Quick draws it into the window with OpenGL again. Where OpenGL is done in
// software (Mesa's llvmpipe and the like: virtual machines and remote desktops without a GPU),
// every frame of anything that moves costs much of a core. Qt Quick's software renderer, with
// which Chromium composites in software too, draws the same pages for a fraction of that,
// starts sooner and takes less memory.
namespace Renderer {

// Whether an OpenGL renderer's name (GL_RENDERER) is that of a software rasterizer.
bool isSoftware(const QByteArray &name);

// Has the web view draw through Qt Quick's software renderer where the application's shared
// OpenGL context renders in software, unless the user has chosen a Qt Quick backend
// (QT_QUICK_BACKEND, QMLSCENE_DEVICE). OpenGL can only be asked once the application object
// exists; Qt Quick and the web engine read the choice when the first web view or profile is
// made, so it is made right after the application object, before anything of the web engine.
void chooseForWebView();

} // namespace Renderer
