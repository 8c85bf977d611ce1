#pragma once
// The certificate table and the Authenticode signatures in it, as decoded.
// Strings are built (names, dates); byte strings (serials, digests) are views
// into the file.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/crypto/Sha.h"
#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::pe {

struct DistName {
  std::string cn;    // the most specific common name, or empty
  std::string full;  // RFC 4514 string: most specific RDN first
  io::Reader der;    // the encoded Name, to match a signer with its certificate
};

struct X509Cert {
  std::uint64_t offset = 0;
  DistName subject, issuer;
  io::Reader serial;
  std::string notBefore, notAfter;
  std::string keyAlg;  // "RSA", "EC P-256", ... or the OID
  std::uint32_t keyBits = 0;
  bool complete = false;  // every field above was read
  // None for an X.509 certificate. A certificates set may also hold the other
  // kinds (extended and attribute certificates, other formats): legal, so they
  // are named and measured, not decoded.
  std::optional<lang::Msg> kind;
  std::uint64_t size = 0;  // bytes, with the element's header
};

struct Signer {
  bool present = false;
  DistName issuer;
  io::Reader serial;
  io::Reader keyId;  // instead of issuer and serial, in version 3 signer infos
  std::string digestOid;
  std::string signingTime, programName, programUrl;
  int cert = -1;  // index of the signer's certificate in the bag
};

struct TimeStamp {
  bool rfc3161 = false;  // else a counter-signature
  std::string time;
  DistName authority;  // the time-stamping authority: its certificate's subject, or the name it gives
  DistName issuer;     // who issued the authority's certificate
  io::Reader serial;   // and its serial number
  std::string digestOid;
  std::vector<X509Cert> others;  // the entries of its certificates that are not X.509 certificates
};

struct Signature {
  int number = 0;   // 1, 2, ... in the listing's order
  int parent = 0;   // the signature this one is nested in, 0 for none
  std::uint64_t offset = 0;
  std::string contentType;  // OID of the signed content
  std::string digestOid;    // of the file digest
  io::Reader signedDigest;
  bool computed = false;  // we know the algorithm and hashed the file
  crypto::Digest digest;  // the file's Authenticode digest
  std::vector<X509Cert> certs;
  Signer signer;
  std::vector<TimeStamp> stamps;
};

struct CertEntry {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::uint16_t revision = 0, type = 0;
  io::Reader data;                   // the entry's content after its 8-byte header
  std::vector<Signature> signatures;  // PKCS#7: the signature and those nested in it
  std::vector<X509Cert> certs;        // a bare X.509 entry
};

struct CertificateTable {
  bool present = false;
  std::uint32_t offset = 0, size = 0;
  std::uint64_t imageEnd = 0;   // where the headers' and sections' file data end
  std::uint64_t appended = 0;   // bytes of the file after the table
  std::vector<CertEntry> entries;
};

struct Context;
CertificateTable ParseCertificates(const Context& ctx);

// Names for what the part prints.
std::string_view DigestName(std::string_view oid);
std::string_view OidName(std::string_view oid);

}  // namespace kestrova::dumper::pe
