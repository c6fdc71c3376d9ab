#include "renderer.h"

#include <QDebug>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>

namespace {

// The application's shared OpenGL context (Qt::AA_ShareOpenGLContexts) is there already; it
// is made current for the question on a surface of its own and let go again.
QByteArray sharedContextRenderer()
{
    QOpenGLContext *context = QOpenGLContext::globalShareContext();
    if (!context || !context->isValid())
        return {};
    QOffscreenSurface surface;
    surface.setFormat(context->format());
    surface.create();
    if (!surface.isValid() || !context->makeCurrent(&surface))
        return {};
    const auto name =
        reinterpret_cast<const char *>(context->functions()->glGetString(GL_RENDERER));
    const QByteArray renderer(name ? name : "");
    context->doneCurrent();
    return renderer;
}

} // namespace

namespace Renderer {

bool isSoftware(const QByteArray &name)
{
    static const char *const rasterizers[] = {"llvmpipe", "softpipe", "swrast",
                                              "software rasterizer", "swiftshader"};
    const QByteArray lower = name.toLower();
    for (const char *rasterizer : rasterizers) {
        if (lower.contains(rasterizer))
            return true;
    }
    return false;
}

void chooseForWebView()
{
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND") ||
        qEnvironmentVariableIsSet("QMLSCENE_DEVICE"))
        return;
    const QByteArray renderer = sharedContextRenderer();
    const bool software = isSoftware(renderer);
    if (software)
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    qDebug() << "OpenGL renderer:" << renderer
             << (software ? "(software: the web view draws without OpenGL)" : "");
}

} // namespace Renderer
