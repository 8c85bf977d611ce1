// The certificate part on signatures built here byte by byte: one listing of
// a whole signature, and the DER reader's answer to each kind of damage.
// Real signatures made by osslsigncode are checked in tests/corpus/sigcheck.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dumper/crypto/Sha.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Tlv(std::uint8_t tag, const Bytes& body) {
  Bytes out = {tag};
  const std::size_t n = body.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Seq(std::initializer_list<Bytes> parts) { return Tlv(0x30, Cat(parts)); }
Bytes Set(std::initializer_list<Bytes> parts) { return Tlv(0x31, Cat(parts)); }
Bytes Str(std::uint8_t tag, std::string_view s) { return Tlv(tag, Bytes(s.begin(), s.end())); }
Bytes Int(std::initializer_list<std::uint8_t> v) { return Tlv(0x02, Bytes(v)); }

Bytes Oid(std::string_view dotted) {
  std::vector<std::uint64_t> arcs;
  std::uint64_t v = 0;
  for (char c : dotted) {
    if (c == '.') {
      arcs.push_back(v);
      v = 0;
    } else {
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
  }
  arcs.push_back(v);
  Bytes body;
  auto put = [&](std::uint64_t a) {
    Bytes rev = {static_cast<std::uint8_t>(a & 0x7F)};
    for (a >>= 7; a != 0; a >>= 7) rev.push_back(static_cast<std::uint8_t>(0x80 | (a & 0x7F)));
    body.insert(body.end(), rev.rbegin(), rev.rend());
  };
  put(arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return Tlv(0x06, body);
}

const Bytes kSha256 = Seq({Oid("2.16.840.1.101.3.4.2.1"), Tlv(0x05, {})});

// A name with what RFC 4514 escapes and a BMPString common name.
Bytes Name(std::string_view cn) {
  return Seq({Set({Seq({Oid("2.5.4.6"), Str(0x13, "CN")})}),
              Set({Seq({Oid("2.5.4.10"), Str(0x0C, "Kestrova, Test+Ltd")})}),
              Set({Seq({Oid("2.5.4.3"), Str(0x0C, cn)})})});
}

Bytes Certificate() {
  Bytes modulus(257, 0xC5);
  modulus[0] = 0;  // a 2048-bit positive integer
  Bytes bmp = {0x6D, 0x4B, 0x8B, 0xD5};  // 测试 in UTF-16
  Bytes subject = Seq({Set({Seq({Oid("2.5.4.3"), Tlv(0x1E, bmp)})}), Set({Seq({Oid("2.5.4.11"), Str(0x13, " lead")})})});
  Bytes spki = Seq({Seq({Oid("1.2.840.113549.1.1.1"), Tlv(0x05, {})}),
                    Tlv(0x03, Cat({{0x00}, Seq({Tlv(0x02, modulus), Int({1, 0, 1})})}))});
  Bytes tbs = Seq({Tlv(0xA0, Int({2})), Int({0x00, 0x9A, 0x01, 0x02}), Seq({Oid("1.2.840.113549.1.1.11")}),
                   Name("Kestrova Root"), Seq({Str(0x17, "240101000000Z"), Str(0x18, "20491231235959Z")}), subject,
                   spki});
  return Seq({tbs, Seq({Oid("1.2.840.113549.1.1.11")}), Tlv(0x03, {0x00, 0xAB})});
}

Bytes SignerInfo(const Bytes& unauth) {
  Bytes opus = Seq({Tlv(0xA0, Tlv(0x80, {0x00, 'K', 0x00, 'e'})), Tlv(0xA1, Str(0x80, "https://kestrova.example/"))});
  Bytes auth = Tlv(0xA0, Cat({Seq({Oid("1.2.840.113549.1.9.5"), Set({Str(0x17, "261209040000Z")})}),
                              Seq({Oid("1.3.6.1.4.1.311.2.1.12"), Set({opus})})}));
  Bytes si = Cat({Int({1}), Seq({Name("Kestrova Root"), Int({0x00, 0x9A, 0x01, 0x02})}), kSha256, auth,
                  Seq({Oid("1.2.840.113549.1.1.1")}), Tlv(0x04, {1, 2, 3})});
  if (!unauth.empty()) si = Cat({si, Tlv(0xA1, unauth)});
  return Tlv(0x30, si);
}

// An Authenticode signature over `digest` (SHA-256); `unauth` are its unsigned
// attributes, `others` certificates of other kinds put before the X.509 one.
Bytes Signature(const Bytes& digest, bool withCert, const Bytes& unauth = {}, const Bytes& others = {}) {
  Bytes indirect = Seq({Seq({Oid("1.3.6.1.4.1.311.2.1.15")}), Seq({kSha256, Tlv(0x04, digest)})});
  Bytes content = Seq({Oid("1.3.6.1.4.1.311.2.1.4"), Tlv(0xA0, indirect)});
  Bytes certs = withCert ? Tlv(0xA0, Cat({others, Certificate()})) : Bytes{};
  Bytes sd = Seq({Int({1}), Set({kSha256}), content, certs, Set({SignerInfo(unauth)})});
  return Seq({Oid("1.2.840.113549.1.7.2"), Tlv(0xA0, sd)});
}

// A signature nested `depth` times in the one before it.
Bytes Nested(int depth) {
  Bytes inner = Signature(Bytes(32, 0), false);
  for (int i = 0; i < depth; ++i)
    inner = Signature(Bytes(32, 0), false, Seq({Oid("1.3.6.1.4.1.311.2.4.1"), Set({inner})}));
  return inner;
}

// The program sample with `blob` as its one certificate entry at the end of the file.
Bytes Signed(const Bytes& blob, std::uint32_t lengthDelta = 0) {
  PeBuilder pe = Pe32Program();
  Bytes f = pe.Build();
  const std::uint32_t at = static_cast<std::uint32_t>(f.size());
  Blob e;
  e.U32(static_cast<std::uint32_t>(blob.size()) + 8 + lengthDelta).U16(0x0200).U16(2);
  e.b.insert(e.b.end(), blob.begin(), blob.end());
  e.Align(8);
  f.insert(f.end(), e.b.begin(), e.b.end());
  const std::size_t dir = PeBuilder::kOptional + 96 + 8 * 4;
  Put32(f, dir, at);
  Put32(f, dir + 4, e.Size());
  return f;
}

// The Authenticode digest of an image whose sections follow each other and
// whose certificate table ends the file: everything but the checksum, the
// table's directory entry and the table.
Bytes DigestOf(const Bytes& f) {
  const std::size_t checksum = PeBuilder::kOptional + 64, dir = PeBuilder::kOptional + 96 + 8 * 4;
  std::uint32_t table = 0;
  for (int i = 0; i < 4; ++i) table |= std::uint32_t{f[dir + static_cast<std::size_t>(i)]} << (8 * i);
  crypto::Hasher h(crypto::HashAlg::kSha256);
  h.Update({f.data(), checksum});
  h.Update({f.data() + checksum + 4, dir - checksum - 4});
  h.Update({f.data() + dir + 8, table - dir - 8});
  crypto::Digest d = h.Finish();
  return Bytes(d.View().begin(), d.View().end());
}

std::string Part(const std::string& listing) {
  std::size_t at = listing.find("== Certificates ==");
  return at == std::string::npos ? "(no Certificates part)\n" : listing.substr(at);
}

// The first warning the part gives about the signature's encoding.
std::string FirstFault(const Bytes& f) {
  std::string l = Dump(f, "signed.exe");
  std::size_t at = l.find("! warning: signature: ");
  if (at == std::string::npos) return "(none)";
  return l.substr(at + 11, l.find('\n', at) - at - 11);
}

// A legacy time stamp: a signer info over the signature, by the certificate in the bag.
Bytes CounterSignature(std::string_view time = "261209041500Z") {
  Bytes auth = Tlv(0xA0, Seq({Oid("1.2.840.113549.1.9.5"), Set({Str(0x17, time)})}));
  Bytes si = Seq({Int({1}), Seq({Name("Kestrova Root"), Int({0x00, 0x9A, 0x01, 0x02})}),
                  Seq({Oid("1.3.14.3.2.26")}), auth, Seq({Oid("1.2.840.113549.1.1.1")}), Tlv(0x04, {4, 5})});
  return Seq({Oid("1.2.840.113549.1.9.6"), Set({si})});
}

// An RFC 3161 time stamp whose certificates hold `others` before the authority's
// X.509 certificate, as Windows 10's kernel32.dll has an attribute certificate there.
Bytes Rfc3161Stamp(const Bytes& others) {
  Bytes tst = Seq({Int({1}), Oid("1.2.3.4"), Seq({kSha256, Tlv(0x04, Bytes(32, 0))}), Int({7}),
                   Str(0x18, "20261209041500Z")});
  Bytes encap = Seq({Oid("1.2.840.113549.1.9.16.1.4"), Tlv(0xA0, Tlv(0x04, tst))});
  Bytes si = Seq({Int({1}), Seq({Name("Kestrova Root"), Int({0x00, 0x9A, 0x01, 0x02})}), kSha256,
                  Seq({Oid("1.2.840.113549.1.1.1")}), Tlv(0x04, {6, 7})});
  Bytes sd = Seq({Int({3}), Set({kSha256}), encap, Tlv(0xA0, Cat({others, Certificate()})), Set({si})});
  Bytes token = Seq({Oid("1.2.840.113549.1.7.2"), Tlv(0xA0, sd)});
  return Seq({Oid("1.3.6.1.4.1.311.3.3.1"), Set({token})});
}

// The certificate kinds besides X.509 are legal: each is listed by kind and size,
// and the signer and the time stamp's authority are still found past them.
Bytes OtherKindsSample() {
  const Bytes v1 = Tlv(0xA1, Cat({Seq({Int({0})}), Seq({Oid("1.2.840.113549.1.1.11")}), Tlv(0x03, {0x00, 0xAB})}));
  const Bytes v2 = Tlv(0xA2, Seq({Int({1})}));
  auto build = [&](const Bytes& digest) { return Signed(Signature(digest, true, Rfc3161Stamp(v1), v2)); };
  return build(DigestOf(build(Bytes(32, 0))));
}

TEST(Certificates, AttributeCertificatesAreListedNotDecoded) {
  ExpectGolden("certificates_other_kinds", Part(Dump(OtherKindsSample(), "stamped.exe")));
}

// A signature with its certificate, signer, a time stamp and a nested signature, whose digest matches.
Bytes SignedSample() {
  auto build = [](const Bytes& digest) {
    Bytes nested = Seq({Oid("1.3.6.1.4.1.311.2.4.1"), Set({Signature(digest, false)})});
    return Signed(Signature(digest, true, Cat({CounterSignature(), nested})));
  };
  return build(DigestOf(build(Bytes(32, 0))));  // same sizes, so the same digest
}

TEST(Certificates, SignatureWithCertificateSignerTimeStampAndNestedSignature) {
  Bytes f = SignedSample();
  const std::string listing = Dump(f, "signed.exe");
  ExpectGolden("certificates_signed", Part(listing));
  // At a glance names the signer by its certificate in the signature.
  EXPECT_NE(listing.find("by 测试, digest matches the file"), std::string::npos);
  f[PeBuilder::kHeaders + 4] ^= 1;  // one byte of code
  std::string tampered = Dump(f, "tampered.exe");
  EXPECT_NE(tampered.find("DOES NOT MATCH: the file was changed after it was signed"), std::string::npos);
  EXPECT_NE(tampered.find("signature 1: the file's digest does not match the signed one"), std::string::npos);
}

// Both samples in JSON: every field of a signature, and the certificates that are not X.509.
TEST(Certificates, SignaturesInJson) {
  ExpectGolden("certificates.json", PartJson(DumpJson(SignedSample(), "signed.exe"), "Certificates") + "\n" +
                                        PartJson(DumpJson(OtherKindsSample(), "stamped.exe"), "Certificates") + "\n");
}

// One line per kind of damage, then the same blob cut at every byte.
TEST(Certificates, DerDamage) {
  const Bytes good = Signature(Bytes(32, 0), false);
  std::string out;
  auto line = [&](std::string_view what, const Bytes& blob, std::uint32_t delta = 0) {
    out += std::string(what) + ": " + FirstFault(Signed(blob, delta)) + "\n";
  };
  line("intact", good);
  const Bytes signedData = Oid("1.2.840.113549.1.7.2");
  line("length past the data", Cat({Bytes{0x30, 0x82, 0x10, 0x00}, signedData}));
  line("length past its parent", Seq({signedData, Bytes{0xA0, 0x10, 0x30, 0x00, 0x00}}));
  line("length with a leading zero", Cat({Bytes{0x30, 0x82, 0x00, 0x0B}, signedData}));
  line("short length in the long form", Cat({Bytes{0x30, 0x81, 0x0B}, signedData}));
  line("indefinite length", Cat({Bytes{0x30, 0x80}, signedData, Bytes{0x00, 0x00}}));
  line("huge length", Bytes{0x30, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  line("unexpected tag", Seq({Tlv(0x04, {1}), Tlv(0xA0, {})}));
  line("not signedData", Seq({Oid("1.2.840.113549.1.7.1"), Tlv(0xA0, {})}));
  line("nesting past the cap", Nested(8));
  line("OID arc with a leading 0x80", Seq({Tlv(0x06, {0x2A, 0x80, 0x01}), Tlv(0xA0, {})}));
  line("time that is no time", Signature(Bytes(32, 0), false, CounterSignature("261332041500Z")));
  const Bytes small = Seq({signedData, Tlv(0xA0, Seq({Int({1})}))});
  for (std::size_t n = 0; n <= small.size(); ++n)
    line("cut at " + std::to_string(n), Bytes(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(n)));
  ExpectGolden("certificates_der_damage", out);
}

// The table itself: an entry past its end, then padding that is not zero.
TEST(Certificates, TableDamage) {
  const Bytes good = Signature(DigestOf(Signed(Signature(Bytes(32, 0), false))), false);
  std::string out = Part(Dump(Signed(good, 64), "long.exe"));
  Bytes f = Signed(good);
  f.back() = 0xEE;  // the entry's padding
  out += Part(Dump(f, "padded.exe"));
  f = Signed(good);
  f.insert(f.end(), {'X', 'Y'});  // appended after signing
  out += Part(Dump(f, "appended.exe"));
  ExpectGolden("certificates_table_damage", out);
}

}  // namespace
}  // namespace kestrova::dumper::testing
