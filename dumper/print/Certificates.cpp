// The certificate table and its signatures.
#include "dumper/pe/Certificates.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Certificates.h"
#include "dumper/pe/Constants.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintCertificates(Printer& o, const pe::CertificateTable& t, const pe::Context& ctx);

using namespace pe;
using lang::Msg;
namespace M = lang::M;

namespace {

constexpr Named kRevisions[] = {
    {0x0100, "WIN_CERT_REVISION_1_0", Msg(M::CertRevLegacy)},
    {0x0200, "WIN_CERT_REVISION_2_0", Msg(M::CertRevCurrent)},
};

constexpr Named kTypes[] = {
    {1, "WIN_CERT_TYPE_X509", Msg(M::CertTypeX509)},
    {2, "WIN_CERT_TYPE_PKCS_SIGNED_DATA", Msg(M::CertTypePkcs7)},
    {3, "WIN_CERT_TYPE_RESERVED_1", Msg(M::CertTypeReserved)},
    {4, "WIN_CERT_TYPE_TS_STACK_SIGNED", Msg(M::CertTypeTsStack)},
};

// Longest byte string printed in hex: a digest or any real serial fits.
constexpr std::size_t kMaxHex = 64;

// Up to kMaxHex bytes in hex, under `k` as one string; a longer run's full size under `k` + "Size".
void HexRun(Printer& o, Key k, const io::Reader& r) {
  auto b = r.Bytes();
  if (b.empty()) {
    o.Word(k, M::CertNone, "");
    return;
  }
  std::string hex;
  char tmp[4];
  for (std::size_t i = 0; i < b.size() && i < kMaxHex; ++i)
    hex.append(tmp, static_cast<std::size_t>(io::PutHex(tmp, b[i], 2) - tmp));
  o.Word(k, hex);
  if (b.size() > kMaxHex) o.Say(M::CertHexMore).Dec(std::string(k) + "Size", b.size()).Say(M::CertHexMoreBytes);
}

// The value's name under `k` + "Name" when the table knows it.
void Named2(Printer& o, Key k, std::span<const Named> table, std::uint32_t v) {
  if (const Named* n = Find(table, v))
    o.Text("  ").Word(std::string(k) + "Name", n->name).Say(M::CertGlossOpen).Text(n->meaning.In(o.Language())).Say(M::CertGlossClose);
  else o.Say(M::CertUnknown);
}

// A distinguished name under `k`, its common name under `k` + "CommonName".
void Dn(Printer& o, Msg label, Key k, const DistName& n) {
  Field(o, label);
  if (n.full.empty()) {
    o.Word(k, M::CertNone, "");
  } else {
    if (!n.cn.empty()) o.Name(std::string(k) + "CommonName", n.cn).Say(M::CertAsideOpen);
    else o.Say(M::CertParenOpen);
    o.Name(k, n.full).Say(M::CertGlossClose);
  }
  o.Nl();
}

// The algorithm's name under `k` when known, its OID under `k` + "Oid".
void Algorithm(Printer& o, Msg label, Key k, const std::string& oid) {
  Field(o, label);
  std::string_view name = DigestName(oid);
  if (oid.empty()) o.Say(M::CertNotRead);
  else if (name.empty()) o.Word(std::string(k) + "Oid", oid);
  else o.Word(k, name).Say(M::CertAsideOpen).Word(std::string(k) + "Oid", oid).Say(M::CertGlossClose);
  o.Nl();
}

void TextField(Printer& o, Msg label, Key k, const std::string& v) {
  if (v.empty()) return;
  Field(o, label).Name(k, v);
  o.Nl();
}

// A time as the DER reader gives it, "2011-02-07 09:10:26 UTC", and in JSON as
// other dates are, "2011-02-07T09:10:26Z".
void TimeField(Printer& o, Msg label, Key k, const std::string& v) {
  if (v.empty()) return;
  std::string iso = v;
  if (const std::size_t blank = iso.find(' '); blank != std::string::npos && iso.ends_with(" UTC")) {
    iso.resize(iso.size() - 4);
    iso[blank] = 'T';
    iso.push_back('Z');
  }
  Field(o, label).Word(k, v, iso);
  o.Nl();
}

void Certificate(Printer& o, const X509Cert& c, std::size_t number, bool signer) {
  Scoped cert(o, Scoped::kObject, {});
  o.Say(M::CertCertificate, {number});
  if (signer) o.Say(M::CertSignersOwn);
  o.Fact("signerCertificate", signer);
  o.Say(M::CertAt).Hex("offset", c.offset, 8);
  if (c.kind) {
    o.Text("  ").Word("kind", *c.kind).Say(M::CertSep).Dec("size", c.size).Say(M::CertNotDecoded);
    o.Nl();
    return;
  }
  o.Nl();
  Dn(o, M::CertSubject, "subject", c.subject);
  Dn(o, M::CertIssuer, "issuer", c.issuer);
  Field(o, M::CertSerial);
  HexRun(o, "serialNumber", c.serial);
  o.Nl();
  TimeField(o, M::CertNotBefore, "notBefore", c.notBefore);
  TimeField(o, M::CertNotAfter, "notAfter", c.notAfter);
  if (!c.keyAlg.empty()) {
    Field(o, M::CertPublicKey).Word("publicKey", c.keyAlg);
    if (c.keyBits != 0) o.Ch(' ').Dec("publicKeyBits", c.keyBits).Say(M::CertBits);
    o.Nl();
  }
  o.Fact("complete", c.complete);
  if (!c.complete) {
    o.Say(M::CertIncomplete);
    o.Nl();
  }
}

void TimeStampLines(Printer& o, const TimeStamp& t, std::size_t number) {
  Scoped stamp(o, Scoped::kObject, {});
  o.Say(M::CertTimeStamp, {number});
  if (t.rfc3161) o.Word("kind", M::CertStampRfc3161, "rfc3161");
  else o.Word("kind", M::CertStampCounter, "counterSignature");
  o.Nl();
  if (t.time.empty()) TextField(o, M::CertTime, kNoKey, std::string(o.L(M::CertNotRead)));
  else TimeField(o, M::CertTime, "time", t.time);
  if (!t.authority.full.empty()) Dn(o, M::CertAuthority, "authority", t.authority);
  else Dn(o, M::CertAuthorityIssuer, "authorityIssuer", t.issuer);
  Field(o, M::CertAuthoritySerial);
  HexRun(o, "authoritySerialNumber", t.serial);
  o.Nl();
  if (!t.digestOid.empty()) Algorithm(o, M::CertDigestAlgorithm, "digestAlgorithm", t.digestOid);
  Scoped others(o, Scoped::kList, "otherCertificates");
  for (const X509Cert& c : t.others) {
    Scoped other(o, Scoped::kObject, {});
    Field(o, M::CertOtherCertificate);
    if (c.kind) o.Word("kind", *c.kind);
    o.Say(M::CertSep).Dec("size", c.size).Say(M::CertNotDecodedAt);
    o.Hex("offset", c.offset, 8);
    o.Nl();
  }
}

void PrintSignature(Printer& o, const Signature& s) {
  Scoped sig(o, Scoped::kObject, {});
  o.Nl();
  o.Say(M::CertSignature).Dec("number", static_cast<std::uint64_t>(s.number));
  if (s.parent != 0) o.Say(M::CertNestedIn).Dec("nestedIn", static_cast<std::uint64_t>(s.parent));
  o.Say(M::CertAt).Hex("offset", s.offset, 8);
  o.Nl();
  if (!s.contentType.empty()) {
    Field(o, M::CertContentType).Word("contentTypeOid", s.contentType);
    if (auto n = OidName(s.contentType); !n.empty()) o.Text("  ").Word("contentType", n);
    o.Nl();
  }
  Algorithm(o, M::CertSigDigestAlgorithm, "digestAlgorithm", s.digestOid);
  Field(o, M::CertSignedDigest);
  HexRun(o, "signedDigest", s.signedDigest);
  o.Nl();
  Field(o, M::CertComputedDigest);
  o.Fact("computed", s.computed);
  if (s.computed) HexRun(o, "computedDigest", io::Reader(s.digest.View()));
  else o.Say(M::CertNotComputed);
  o.Nl();
  if (s.computed && s.signedDigest.Size() != 0) {
    const bool same = s.signedDigest.Size() == s.digest.size &&
                      std::equal(s.digest.View().begin(), s.digest.View().end(), s.signedDigest.Bytes().begin());
    Field(o, M::CertDigest).Fact("digestMatches", same);
    o.Say(same ? M::CertDigestMatches : M::CertDigestDiffers);
    o.Nl();
  }
  Field(o, M::CertCertificates).Dec(kNoKey, s.certs.size());
  o.Nl();
  {
    Scoped certs(o, Scoped::kList, "certificates");
    for (std::size_t i = 0; i < s.certs.size() && !o.Exhausted(); ++i)
      Certificate(o, s.certs[i], i + 1, static_cast<std::size_t>(s.signer.cert) == i);
  }
  if (s.signer.present) {
    Scoped signer(o, Scoped::kObject, "signer");
    o.Say(M::CertSigner).Fact("certificateInSignature", s.signer.cert >= 0);
    if (s.signer.cert >= 0)
      o.Say(M::CertSignerCert).Dec("certificate", static_cast<std::uint64_t>(s.signer.cert) + 1).Say(M::CertSignerCertClose);
    else o.Say(M::CertSignerNoCert);
    o.Nl();
    if (s.signer.keyId.Size() != 0) {
      Field(o, M::CertSubjectKeyId);
      HexRun(o, "subjectKeyId", s.signer.keyId);
      o.Nl();
    } else {
      Dn(o, M::CertIssuer, "issuer", s.signer.issuer);
      Field(o, M::CertSerial);
      HexRun(o, "serialNumber", s.signer.serial);
      o.Nl();
    }
    Algorithm(o, M::CertDigestAlgorithm, "digestAlgorithm", s.signer.digestOid);
    TimeField(o, M::CertSigningTime, "signingTime", s.signer.signingTime);
    TextField(o, M::CertProgramName, "programName", s.signer.programName);
    TextField(o, M::CertProgramUrl, "programUrl", s.signer.programUrl);
  }
  Scoped stamps(o, Scoped::kList, "timeStamps");
  for (std::size_t i = 0; i < s.stamps.size() && !o.Exhausted(); ++i) TimeStampLines(o, s.stamps[i], i + 1);
}

}  // namespace

void PrintCertificates(Printer& o, const CertificateTable& t, const Context&) {
  if (!t.present) return;
  o.Say(M::CertIntro);
  o.Nl();
  Field(o, M::CertTable).Say(M::CertTableAt).Hex("offset", t.offset, 8).Say(M::CertTableSize).Hex("size", t.size, 8);
  o.Say(M::CertSep);
  Count(o, kNoKey, t.entries.size(), M::CertEntryOne, M::CertEntryMany);
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::size_t i = 0; i < t.entries.size() && !o.Exhausted(); ++i) {
    const CertEntry& e = t.entries[i];
    Scoped entry(o, Scoped::kObject, {});
    o.Nl();
    o.Say(M::CertEntry, {i + 1}).Say(M::CertAt).Hex("offset", e.offset, 8);
    o.Nl();
    Field(o, M::CertLength, "dwLength").Hex(e.length, 8).Say(M::CertBytesParen, {e.length});
    o.Nl();
    Field(o, M::CertRevision, "wRevision").Hex(e.revision, 4);
    Named2(o, "wRevision", kRevisions, e.revision);
    o.Nl();
    Field(o, M::CertType, "wCertificateType").Hex(e.type, 4);
    Named2(o, "wCertificateType", kTypes, e.type);
    o.Nl();
    if (e.signatures.empty() && e.certs.empty()) {
      Field(o, M::CertContent, "content");
      HexBytes(o, {}, e.data.Bytes(), 16);
      o.Nl();
    }
    {
      Scoped certs(o, Scoped::kList, "certificates");
      for (std::size_t k = 0; k < e.certs.size() && !o.Exhausted(); ++k) Certificate(o, e.certs[k], k + 1, false);
    }
    Scoped sigs(o, Scoped::kList, "signatures");
    for (const Signature& s : e.signatures) {
      if (o.Exhausted()) break;
      PrintSignature(o, s);
    }
  }
}

KESTROVA_PART(Certificates)

}  // namespace kestrova::dumper::print
