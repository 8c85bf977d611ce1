// The certificate table and its signatures.
#include "dumper/pe/Certificates.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Constants.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintCertificates(Printer& o, const pe::CertificateTable& t, const pe::Context& ctx);

using namespace pe;

namespace {

constexpr Named kRevisions[] = {
    {0x0100, "WIN_CERT_REVISION_1_0", "legacy form"},
    {0x0200, "WIN_CERT_REVISION_2_0", "current form"},
};

constexpr Named kTypes[] = {
    {1, "WIN_CERT_TYPE_X509", "an X.509 certificate"},
    {2, "WIN_CERT_TYPE_PKCS_SIGNED_DATA", "a PKCS#7 SignedData: an Authenticode signature"},
    {3, "WIN_CERT_TYPE_RESERVED_1", "reserved"},
    {4, "WIN_CERT_TYPE_TS_STACK_SIGNED", "terminal server protocol stack signature"},
};

// Longest byte string printed in hex: a digest or any real serial fits.
constexpr std::size_t kMaxHex = 64;

// Up to kMaxHex bytes in hex, under `k` as one string; a longer run's full size under `k` + "Size".
void HexRun(Printer& o, Key k, const io::Reader& r) {
  auto b = r.Bytes();
  if (b.empty()) {
    o.Word(k, "(none)", "");
    return;
  }
  std::string hex;
  char tmp[4];
  for (std::size_t i = 0; i < b.size() && i < kMaxHex; ++i)
    hex.append(tmp, static_cast<std::size_t>(io::PutHex(tmp, b[i], 2) - tmp));
  o.Word(k, hex);
  if (b.size() > kMaxHex) o.Text("... (").Dec(std::string(k) + "Size", b.size()).Text(" bytes)");
}

// The value's name under `k` + "Name" when the table knows it.
void Named2(Printer& o, Key k, std::span<const Named> table, std::uint32_t v) {
  if (const Named* n = Find(table, v))
    o.Text("  ").Word(std::string(k) + "Name", n->name).Text(" (").Text(n->meaning.In(o.Language())).Ch(')');
  else o.Text("  (unknown)");
}

// A distinguished name under `k`, its common name under `k` + "CommonName".
void Dn(Printer& o, std::string_view label, Key k, const DistName& n) {
  Field(o, label);
  if (n.full.empty()) {
    o.Word(k, "(none)", "");
  } else {
    if (!n.cn.empty()) o.Name(std::string(k) + "CommonName", n.cn).Text("  ");
    o.Ch('(').Name(k, n.full).Ch(')');
  }
  o.Nl();
}

// The algorithm's name under `k` when known, its OID under `k` + "Oid".
void Algorithm(Printer& o, std::string_view label, Key k, const std::string& oid) {
  Field(o, label);
  std::string_view name = DigestName(oid);
  if (oid.empty()) o.Text("(not read)");
  else if (name.empty()) o.Word(std::string(k) + "Oid", oid);
  else o.Word(k, name).Text("  (").Word(std::string(k) + "Oid", oid).Ch(')');
  o.Nl();
}

void TextField(Printer& o, std::string_view label, Key k, const std::string& v) {
  if (v.empty()) return;
  Field(o, label).Name(k, v);
  o.Nl();
}

// A time as the DER reader gives it, "2011-02-07 09:10:26 UTC", and in JSON as
// other dates are, "2011-02-07T09:10:26Z".
void TimeField(Printer& o, std::string_view label, Key k, const std::string& v) {
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
  o.Text("    Certificate ").Dec(kNoKey, number);
  if (signer) o.Text(" (the signer's)");
  o.Fact("signerCertificate", signer);
  o.Text("  at ").Hex("offset", c.offset, 8);
  if (!c.kind.empty()) {
    o.Text("  ").Word("kind", c.kind).Text(", ").Dec("size", c.size).Text(" bytes, not decoded");
    o.Nl();
    return;
  }
  o.Nl();
  Dn(o, "    Subject", "subject", c.subject);
  Dn(o, "    Issuer", "issuer", c.issuer);
  Field(o, "    Serial number");
  HexRun(o, "serialNumber", c.serial);
  o.Nl();
  TimeField(o, "    Not before", "notBefore", c.notBefore);
  TimeField(o, "    Not after", "notAfter", c.notAfter);
  if (!c.keyAlg.empty()) {
    Field(o, "    Public key").Word("publicKey", c.keyAlg);
    if (c.keyBits != 0) o.Ch(' ').Dec("publicKeyBits", c.keyBits).Text(" bits");
    o.Nl();
  }
  o.Fact("complete", c.complete);
  if (!c.complete) {
    o.Text("      (not read to the end)");
    o.Nl();
  }
}

void TimeStampLines(Printer& o, const TimeStamp& t, std::size_t number) {
  Scoped stamp(o, Scoped::kObject, {});
  o.Text("    Time stamp ").Dec(kNoKey, number);
  o.Word("kind", t.rfc3161 ? "  RFC 3161" : "  counter-signature", t.rfc3161 ? "rfc3161" : "counterSignature");
  o.Nl();
  if (t.time.empty()) TextField(o, "    Time", kNoKey, "(not read)");
  else TimeField(o, "    Time", "time", t.time);
  if (!t.authority.full.empty()) Dn(o, "    Authority", "authority", t.authority);
  else Dn(o, "    Authority's issuer", "authorityIssuer", t.issuer);
  Field(o, "    Authority's serial");
  HexRun(o, "authoritySerialNumber", t.serial);
  o.Nl();
  if (!t.digestOid.empty()) Algorithm(o, "    Digest algorithm", "digestAlgorithm", t.digestOid);
  Scoped others(o, Scoped::kList, "otherCertificates");
  for (const X509Cert& c : t.others) {
    Scoped other(o, Scoped::kObject, {});
    Field(o, "    Certificate").Word("kind", c.kind).Text(", ").Dec("size", c.size).Text(" bytes, not decoded, at ");
    o.Hex("offset", c.offset, 8);
    o.Nl();
  }
}

void PrintSignature(Printer& o, const Signature& s) {
  Scoped sig(o, Scoped::kObject, {});
  o.Nl();
  o.Text("  Signature ").Dec("number", static_cast<std::uint64_t>(s.number));
  if (s.parent != 0) o.Text(", nested in signature ").Dec("nestedIn", static_cast<std::uint64_t>(s.parent));
  o.Text("  at ").Hex("offset", s.offset, 8);
  o.Nl();
  if (!s.contentType.empty()) {
    Field(o, "  Content type").Word("contentTypeOid", s.contentType);
    if (auto n = OidName(s.contentType); !n.empty()) o.Text("  ").Word("contentType", n);
    o.Nl();
  }
  Algorithm(o, "  Digest algorithm", "digestAlgorithm", s.digestOid);
  Field(o, "  Signed digest");
  HexRun(o, "signedDigest", s.signedDigest);
  o.Nl();
  Field(o, "  Computed digest");
  o.Fact("computed", s.computed);
  if (s.computed) HexRun(o, "computedDigest", io::Reader(s.digest.View()));
  else o.Text("(not computed)");
  o.Nl();
  if (s.computed && s.signedDigest.Size() != 0) {
    const bool same = s.signedDigest.Size() == s.digest.size &&
                      std::equal(s.digest.View().begin(), s.digest.View().end(), s.signedDigest.Bytes().begin());
    Field(o, "  Digest").Fact("digestMatches", same);
    o.Text(same ? "matches: the file's bytes are as signed"
                : "DOES NOT MATCH: the file was changed after it was signed");
    o.Nl();
  }
  Field(o, "  Certificates").Dec(kNoKey, s.certs.size());
  o.Nl();
  {
    Scoped certs(o, Scoped::kList, "certificates");
    for (std::size_t i = 0; i < s.certs.size() && !o.Exhausted(); ++i)
      Certificate(o, s.certs[i], i + 1, static_cast<std::size_t>(s.signer.cert) == i);
  }
  if (s.signer.present) {
    Scoped signer(o, Scoped::kObject, "signer");
    o.Text("    Signer").Fact("certificateInSignature", s.signer.cert >= 0);
    if (s.signer.cert >= 0)
      o.Text("  (certificate ").Dec("certificate", static_cast<std::uint64_t>(s.signer.cert) + 1).Ch(')');
    else o.Text("  (its certificate is not in the signature)");
    o.Nl();
    if (s.signer.keyId.Size() != 0) {
      Field(o, "    Subject key id");
      HexRun(o, "subjectKeyId", s.signer.keyId);
      o.Nl();
    } else {
      Dn(o, "    Issuer", "issuer", s.signer.issuer);
      Field(o, "    Serial number");
      HexRun(o, "serialNumber", s.signer.serial);
      o.Nl();
    }
    Algorithm(o, "    Digest algorithm", "digestAlgorithm", s.signer.digestOid);
    TimeField(o, "    Signing time", "signingTime", s.signer.signingTime);
    TextField(o, "    Program name", "programName", s.signer.programName);
    TextField(o, "    Program URL", "programUrl", s.signer.programUrl);
  }
  Scoped stamps(o, Scoped::kList, "timeStamps");
  for (std::size_t i = 0; i < s.stamps.size() && !o.Exhausted(); ++i) TimeStampLines(o, s.stamps[i], i + 1);
}

}  // namespace

void PrintCertificates(Printer& o, const CertificateTable& t, const Context&) {
  if (!t.present) return;
  o.Text("  What the signatures claim and whether the file's bytes still match; trust is not judged"
         " (no chain building, no revocation check).");
  o.Nl();
  Field(o, "Table").Text("file offset ").Hex("offset", t.offset, 8).Text(", size ").Hex("size", t.size, 8).Text(", ");
  Count(o, kNoKey, t.entries.size(), "entry", "entries");
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::size_t i = 0; i < t.entries.size() && !o.Exhausted(); ++i) {
    const CertEntry& e = t.entries[i];
    Scoped entry(o, Scoped::kObject, {});
    o.Nl();
    o.Text("  Entry ").Dec(kNoKey, i + 1).Text("  at ").Hex("offset", e.offset, 8);
    o.Nl();
    Field(o, "  Length", "dwLength").Hex(e.length, 8).Text("  (").Dec(kNoKey, e.length).Text(" bytes)");
    o.Nl();
    Field(o, "  Revision", "wRevision").Hex(e.revision, 4);
    Named2(o, "wRevision", kRevisions, e.revision);
    o.Nl();
    Field(o, "  Type", "wCertificateType").Hex(e.type, 4);
    Named2(o, "wCertificateType", kTypes, e.type);
    o.Nl();
    if (e.signatures.empty() && e.certs.empty()) {
      Field(o, "  Content", "content");
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
