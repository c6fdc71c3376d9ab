// The reference for the client's start in bench_startup: a bare web view, with the
// application attributes and the renderer the client chooses, loading a trivial page compiled
// into this program, and logging when the page has loaded in the same form as the client does.
#include "util/commconutils.h"
#include "util/renderer.h"

#include <QApplication>
#include <QDebug>
#include <QWebEngineView>

int main(int argc, char *argv[])
{
    CommconUtils::initApplication(true);
    QApplication app(argc, argv);
    Renderer::chooseForWebView();

    QWebEngineView view;
    // The client's window size, so that both render the same area.
    view.setFixedSize(1200, 670);
    QObject::connect(&view, &QWebEngineView::loadFinished, [&view](bool ok) {
        qDebug() << "Page loaded:" << view.url().toString() << (ok ? "ok" : "failed");
    });
    view.load(QUrl(QStringLiteral("qrc:/bareview/page.html")));
    view.show();
    return app.exec();
}
