// Shows one message of the launcher in the client's error box, for a user who started the
// client from the menu and would never see the launcher's standard error.
#include "util/commconutils.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2)
        return 2;
    CommconUtils::showError(arguments.at(1));
    return 0;
}
