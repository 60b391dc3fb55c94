// The provider's identity and the private flag and parameter values that the
// engine understands and the control passes through CryptoAPI unchanged.
#pragma once

#include <kavrin/crypt.h>

namespace orvex {

inline constexpr char kProviderName[] = "Kavrin Orvex v1.0 Dorvel";
inline constexpr char16_t kProviderNameW[] = u"Kavrin Orvex v1.0 Dorvel";
inline constexpr DWORD kProviderType = PROV_RSA_FULL;

// CPGenKey / CPImportKey: the new private key stays unmasked; its PIN is set next.
inline constexpr DWORD GF_PIN_LATER = 0x1000;
// CPExportKey: permits the export of a private key kept in a container slot.
inline constexpr DWORD XF_ALLOW_GUARDED = 0x04000000;
// CPSetProvParam: check a PIN for the signature / exchange key without dialogs.
inline constexpr DWORD PP_VERIFY_SIGNATURE_PIN = 0x02000000;
inline constexpr DWORD PP_VERIFY_EXCHANGE_PIN = 0x08000000;

}  // namespace orvex
