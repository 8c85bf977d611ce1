// The signer of a file signed at build time (osslsigncode, a certificate made by
// openssl) as Windows' own message functions read it, against our listing.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dumper/Dump.h"

namespace {

// The path handed over by CMake is a host path; Wine sees the host's root as Z:.
std::wstring SignedFile() {
  const char* p = std::getenv("KESTROVA_SIGNED_FILE");
  if (p == nullptr) return {};
  std::wstring w = L"Z:";
  for (const char* c = p; *c; ++c) w += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return w;
}

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// The value after `label` on the first line holding it below `from`.
std::string FieldAfter(const std::string& listing, std::size_t from, const std::string& label) {
  std::size_t at = listing.find("  " + label + " ", from);
  if (at == std::string::npos) return {};
  at = listing.find_first_not_of(' ', at + 2 + label.size());
  return listing.substr(at, listing.find('\n', at) - at);
}

TEST(Signature, SignerIssuerAndSerialAsCryptoApiReadsThem) {
  const std::wstring path = SignedFile();
  ASSERT_FALSE(path.empty()) << "KESTROVA_SIGNED_FILE not set";

  HCERTSTORE store = nullptr;
  HCRYPTMSG msg = nullptr;
  DWORD encoding = 0, content = 0, format = 0;
  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &store, &msg, nullptr))
      << GetLastError();
  DWORD size = 0;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
  std::vector<BYTE> buf(size);
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, buf.data(), &size));
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buf.data());

  // The serial comes least significant byte first.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string serial;
  for (DWORD i = signer->SerialNumber.cbData; i-- > 0;) {
    BYTE b = signer->SerialNumber.pbData[i];
    if (serial.empty() && b == 0 && i != 0) continue;
    serial += kHex[b >> 4];
    serial += kHex[b & 15];
  }
  wchar_t issuer[512] = {};
  CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&signer->Issuer), CERT_SIMPLE_NAME_STR, issuer,
                 512);
  CryptMsgClose(msg);
  CertCloseStore(store, 0);

  std::vector<std::uint8_t> bytes;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
  }
  ASSERT_FALSE(bytes.empty());
  const std::string listing = kestrova::dumper::DumpToString(bytes, "signed.exe");
  const std::size_t block = listing.find("    Signer  ");
  ASSERT_NE(block, std::string::npos) << listing;
  EXPECT_EQ(FieldAfter(listing, block, "  Serial number"), serial);
  // Simple form: the values alone, most general first ("CN, Kestrova Test, Kestrova Test Signer");
  // each is in our issuer line, whose common name comes first.
  const std::string ours = FieldAfter(listing, block, "  Issuer");
  const std::string simple = Utf8(issuer);
  ASSERT_FALSE(simple.empty());
  EXPECT_EQ(ours.substr(0, ours.find("  (")), simple.substr(simple.rfind(", ") + 2));
  EXPECT_NE(ours.find("C=" + simple.substr(0, simple.find(", "))), std::string::npos) << ours << " / " << simple;
}

}  // namespace
