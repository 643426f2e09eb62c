// Return codes of the signing library (0 is success). The texts that go with them are in cError.h.
#pragma once
#include <cstdint>

enum MirvoCode : int32_t {
  MIRVO_OK = 0,
  MIRVO_PFX_FILE_ERROR = 1102,       // PKCS#12 file missing, unreadable or not DER PKCS#12
  MIRVO_PROPERTY_READ_ERROR = 1202,  // the properties file could not be read
  MIRVO_MEMORY_ERROR = 5002,         // memory stream, SignedData or its data stream not created
  MIRVO_PARAM_ERROR = 5005,          // an argument is missing or empty
  MIRVO_NO_CERT = 5010,              // no certificate held / no signer-filter condition holds
  MIRVO_CERT_EXPIRED = 5011,         // the certificate has expired
  MIRVO_CERT_NOT_YET_VALID = 5012,   // the certificate is not yet valid
  MIRVO_KEY_USAGE_ERROR = 5017,      // the certificate may not sign
  MIRVO_SIGN_ERROR = 5061,           // unknown digest or failed completion of the SignedData
  MIRVO_PFX_NOT_LOADED = 5204,       // signing bytes while no PKCS#12 file is loaded
  MIRVO_PFX_PASSWORD_ERROR = 5208,   // MAC check or parse with the password failed
  MIRVO_ICONV_ERROR = 5901,          // the Big5 conversion of the text failed
};
