// The certificate table and its signatures.
#include "dumper/pe/Certificates.h"

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

void HexRun(Printer& o, const io::Reader& r) {
  auto b = r.Bytes();
  if (b.empty()) {
    o.Text("(none)");
    return;
  }
  for (std::size_t i = 0; i < b.size() && i < kMaxHex; ++i) o.Hex(b[i], 2);
  if (b.size() > kMaxHex) o.Text("... (").Dec(b.size()).Text(" bytes)");
}

void Named2(Printer& o, std::span<const Named> table, std::uint32_t v) {
  if (const Named* n = Find(table, v)) o.Text("  ").Text(n->name).Text(" (").Text(n->meaning).Ch(')');
  else o.Text("  (unknown)");
}

void Dn(Printer& o, std::string_view label, const DistName& n) {
  Field(o, label);
  if (n.full.empty()) {
    o.Text("(none)");
  } else {
    if (!n.cn.empty()) o.Name(n.cn).Text("  ");
    o.Ch('(').Name(n.full).Ch(')');
  }
  o.Nl();
}

void Algorithm(Printer& o, std::string_view label, const std::string& oid) {
  Field(o, label);
  std::string_view name = DigestName(oid);
  if (oid.empty()) o.Text("(not read)");
  else if (name.empty()) o.Text(oid);
  else o.Text(name).Text("  (").Text(oid).Ch(')');
  o.Nl();
}

void TextField(Printer& o, std::string_view label, const std::string& v) {
  if (v.empty()) return;
  Field(o, label).Name(v);
  o.Nl();
}

void Certificate(Printer& o, const X509Cert& c, std::size_t number, bool signer) {
  o.Text("    Certificate ").Dec(number);
  if (signer) o.Text(" (the signer's)");
  o.Text("  at ").Hex(c.offset, 8);
  o.Nl();
  Dn(o, "    Subject", c.subject);
  Dn(o, "    Issuer", c.issuer);
  Field(o, "    Serial number");
  HexRun(o, c.serial);
  o.Nl();
  TextField(o, "    Not before", c.notBefore);
  TextField(o, "    Not after", c.notAfter);
  if (!c.keyAlg.empty()) {
    Field(o, "    Public key").Text(c.keyAlg);
    if (c.keyBits != 0) o.Ch(' ').Dec(c.keyBits).Text(" bits");
    o.Nl();
  }
  if (!c.complete) {
    o.Text("      (not read to the end)");
    o.Nl();
  }
}

void TimeStampLines(Printer& o, const TimeStamp& t, std::size_t number) {
  o.Text("    Time stamp ").Dec(number).Text(t.rfc3161 ? "  RFC 3161" : "  counter-signature");
  o.Nl();
  TextField(o, "    Time", t.time.empty() ? std::string("(not read)") : t.time);
  if (!t.authority.full.empty()) Dn(o, "    Authority", t.authority);
  else Dn(o, "    Authority's issuer", t.issuer);
  Field(o, "    Authority's serial");
  HexRun(o, t.serial);
  o.Nl();
  if (!t.digestOid.empty()) Algorithm(o, "    Digest algorithm", t.digestOid);
}

void PrintSignature(Printer& o, const Signature& s) {
  o.Nl();
  o.Text("  Signature ").Dec(static_cast<std::uint64_t>(s.number));
  if (s.parent != 0) o.Text(", nested in signature ").Dec(static_cast<std::uint64_t>(s.parent));
  o.Text("  at ").Hex(s.offset, 8);
  o.Nl();
  if (!s.contentType.empty()) {
    Field(o, "  Content type").Text(s.contentType);
    if (auto n = OidName(s.contentType); !n.empty()) o.Text("  ").Text(n);
    o.Nl();
  }
  Algorithm(o, "  Digest algorithm", s.digestOid);
  Field(o, "  Signed digest");
  HexRun(o, s.signedDigest);
  o.Nl();
  Field(o, "  Computed digest");
  if (s.computed) HexRun(o, io::Reader(s.digest.View()));
  else o.Text("(not computed)");
  o.Nl();
  if (s.computed && s.signedDigest.Size() != 0) {
    const bool same = s.signedDigest.Size() == s.digest.size &&
                      std::equal(s.digest.View().begin(), s.digest.View().end(), s.signedDigest.Bytes().begin());
    Field(o, "  Digest").Text(same ? "matches: the file's bytes are as signed"
                                   : "DOES NOT MATCH: the file was changed after it was signed");
    o.Nl();
  }
  Field(o, "  Certificates").Dec(s.certs.size());
  o.Nl();
  for (std::size_t i = 0; i < s.certs.size() && !o.Exhausted(); ++i)
    Certificate(o, s.certs[i], i + 1, static_cast<std::size_t>(s.signer.cert) == i);
  if (s.signer.present) {
    o.Text("    Signer");
    if (s.signer.cert >= 0) o.Text("  (certificate ").Dec(static_cast<std::uint64_t>(s.signer.cert) + 1).Ch(')');
    else o.Text("  (its certificate is not in the signature)");
    o.Nl();
    if (s.signer.keyId.Size() != 0) {
      Field(o, "    Subject key id");
      HexRun(o, s.signer.keyId);
      o.Nl();
    } else {
      Dn(o, "    Issuer", s.signer.issuer);
      Field(o, "    Serial number");
      HexRun(o, s.signer.serial);
      o.Nl();
    }
    Algorithm(o, "    Digest algorithm", s.signer.digestOid);
    TextField(o, "    Signing time", s.signer.signingTime);
    TextField(o, "    Program name", s.signer.programName);
    TextField(o, "    Program URL", s.signer.programUrl);
  }
  for (std::size_t i = 0; i < s.stamps.size() && !o.Exhausted(); ++i) TimeStampLines(o, s.stamps[i], i + 1);
}

}  // namespace

void PrintCertificates(Printer& o, const CertificateTable& t, const Context&) {
  if (!t.present) return;
  o.Text("  What the signatures claim and whether the file's bytes still match; trust is not judged"
         " (no chain building, no revocation check).");
  o.Nl();
  Field(o, "Table").Text("file offset ").Hex(t.offset, 8).Text(", size ").Hex(t.size, 8).Text(", ");
  Count(o, {}, t.entries.size(), "entry", "entries");
  o.Nl();
  for (std::size_t i = 0; i < t.entries.size() && !o.Exhausted(); ++i) {
    const CertEntry& e = t.entries[i];
    o.Nl();
    o.Text("  Entry ").Dec(i + 1).Text("  at ").Hex(e.offset, 8);
    o.Nl();
    Field(o, "  Length").Hex(e.length, 8).Text("  (").Dec(e.length).Text(" bytes)");
    o.Nl();
    Field(o, "  Revision").Hex(e.revision, 4);
    Named2(o, kRevisions, e.revision);
    o.Nl();
    Field(o, "  Type").Hex(e.type, 4);
    Named2(o, kTypes, e.type);
    o.Nl();
    if (e.signatures.empty() && e.certs.empty()) {
      Field(o, "  Content");
      HexBytes(o, {}, e.data.Bytes(), 16);
      o.Nl();
    }
    for (std::size_t k = 0; k < e.certs.size() && !o.Exhausted(); ++k) Certificate(o, e.certs[k], k + 1, false);
    for (const Signature& s : e.signatures) {
      if (o.Exhausted()) break;
      PrintSignature(o, s);
    }
  }
}

KESTROVA_PART(Certificates)

}  // namespace kestrova::dumper::print
