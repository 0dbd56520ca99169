#include "password_check.h"

#include "access_keychain.h"
#include "files/log_line.h"
#include "password_sheet.h"

#include <QApplication>

#include <syslog.h>

namespace bw {

bool typedPasswordMatches(const AccessKeychain& keychain, PXPasswordSheet& sheet, const char* who) {
    const KeychainLookup stored = keychain.find();
    if (stored.status != KeychainStatus::Found) {
        bw::logLine(LOG_ERR, "%s Binwarden: Keychain problem (%s)", who,
                    stored.status == KeychainStatus::NotFound ? "no such item" : stored.error.c_str());
        QApplication::beep();
        emit sheet.refused();
        return false;
    }
    if (sheet.password().toStdString() != stored.password) {
        sheet.refuse();
        return false;
    }
    return true;
}

} // namespace bw
