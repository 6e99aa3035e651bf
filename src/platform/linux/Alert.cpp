#include "platform/Alert.h"

#include <QMessageBox>

namespace platform {

void runModalAlert(const QString &messageText, const QString &informativeText)
{
    QMessageBox alert;
    alert.setIcon(QMessageBox::Warning);
    alert.setWindowTitle(QStringLiteral("Orlinde"));
    alert.setText(messageText);
    alert.setInformativeText(informativeText);
    alert.setStandardButtons(QMessageBox::Ok);
    alert.exec();
}

} // namespace platform
