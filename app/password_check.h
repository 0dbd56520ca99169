#pragma once
// Checking the access password a sheet asked for against the one the keychain keeps.

namespace bw {

class AccessKeychain;
class PXPasswordSheet;

// True when the password typed into `sheet` is the keychain's. A keychain that cannot answer (or keeps
// none) is logged in one line naming `who`, beeps and tells the sheet it was refused; a wrong password
// clears the sheet and keeps it open. Either way the sheet stays for its owner to close.
bool typedPasswordMatches(const AccessKeychain& keychain, PXPasswordSheet& sheet, const char* who);

} // namespace bw
