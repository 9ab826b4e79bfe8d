// kolva-updater: the program entry.
#include <QApplication>
#include <QStandardPaths>

#include "app/application.h"
#include "app/kolva_app.h"

int main(int argc, char** argv) {
    QApplication a(argc, argv);
    const std::string exe = QCoreApplication::applicationFilePath().toStdString();
    const std::string userDir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    return app::runApplication(a, exe, userDir, true);
}
