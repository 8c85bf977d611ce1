// The certificate table: its entries, the Authenticode signatures in them and
// the digest of the file that each signature vouches for.
#include "dumper/pe/Certificates.h"

#include <algorithm>
#include <array>
#include <optional>

#include "dumper/crypto/Der.h"
#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Certificates.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

using der::Element;
using lang::Msg;
namespace M = lang::M;
using io::Hex;

namespace {

struct OidEntry {
  std::string_view oid, name;
};

constexpr OidEntry kOids[] = {
    {"1.2.840.113549.1.7.2", "signedData"},
    {"1.3.6.1.4.1.311.2.1.4", "SPC_INDIRECT_DATA"},
    {"1.3.6.1.4.1.311.2.1.15", "SPC_PE_IMAGE_DATA"},
    {"1.2.840.113549.1.9.16.1.4", "TSTInfo"},
    {"1.2.840.113549.1.1.1", "RSA"},
    {"1.2.840.10045.2.1", "EC"},
    {"1.2.840.10040.4.1", "DSA"},
    {"1.3.101.112", "Ed25519"},
    {"1.3.101.113", "Ed448"},
};

constexpr OidEntry kDigests[] = {
    {"1.3.14.3.2.26", "SHA-1"},
    {"2.16.840.1.101.3.4.2.1", "SHA-256"},
    {"2.16.840.1.101.3.4.2.2", "SHA-384"},
    {"2.16.840.1.101.3.4.2.3", "SHA-512"},
    {"1.2.840.113549.2.5", "MD5"},
};

// Attribute types of a distinguished name, by their RFC 4514 names where it
// has one; the others that code-signing certificates carry, by their usual ones.
constexpr OidEntry kNameAttrs[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"0.9.2342.19200300.100.1.1", "UID"},
    {"2.5.4.5", "serialNumber"},
    {"2.5.4.15", "businessCategory"},
    {"2.5.4.17", "postalCode"},
    {"1.2.840.113549.1.9.1", "emailAddress"},
    {"1.3.6.1.4.1.311.60.2.1.1", "jurisdictionL"},
    {"1.3.6.1.4.1.311.60.2.1.2", "jurisdictionST"},
    {"1.3.6.1.4.1.311.60.2.1.3", "jurisdictionC"},
};

constexpr std::string_view kOidSignedData = "1.2.840.113549.1.7.2";
constexpr std::string_view kOidIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr std::string_view kOidTstInfo = "1.2.840.113549.1.9.16.1.4";
constexpr std::string_view kOidSigningTime = "1.2.840.113549.1.9.5";
constexpr std::string_view kOidCounterSignature = "1.2.840.113549.1.9.6";
constexpr std::string_view kOidOpusInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr std::string_view kOidRfc3161 = "1.3.6.1.4.1.311.3.3.1";
constexpr std::string_view kOidNested = "1.3.6.1.4.1.311.2.4.1";
constexpr std::string_view kOidRsa = "1.2.840.113549.1.1.1";
constexpr std::string_view kOidEc = "1.2.840.10045.2.1";
constexpr std::string_view kOidDsa = "1.2.840.10040.4.1";

constexpr std::uint16_t kTypeX509 = 1, kTypePkcs7 = 2;

std::string_view Lookup(std::span<const OidEntry> table, std::string_view oid) {
  for (const OidEntry& e : table)
    if (e.oid == oid) return e.name;
  return {};
}

std::optional<crypto::HashAlg> HashOf(std::string_view oid) {
  if (oid == kDigests[0].oid) return crypto::HashAlg::kSha1;
  if (oid == kDigests[1].oid) return crypto::HashAlg::kSha256;
  if (oid == kDigests[2].oid) return crypto::HashAlg::kSha384;
  if (oid == kDigests[3].oid) return crypto::HashAlg::kSha512;
  return std::nullopt;
}

// Bits in an unsigned big-endian integer.
std::uint32_t BitLength(const io::Reader& v) {
  auto b = v.Bytes();
  std::size_t i = 0;
  while (i < b.size() && b[i] == 0) ++i;
  if (i == b.size()) return 0;
  std::uint32_t bits = static_cast<std::uint32_t>((b.size() - i - 1) * 8);
  for (std::uint8_t top = b[i]; top != 0; top = static_cast<std::uint8_t>(top >> 1)) ++bits;
  return bits;
}

void HexTo(std::string& out, std::span<const std::uint8_t> b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::uint8_t c : b) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
}

// One attribute value in RFC 4514 form: strings escaped, anything else as
// "#" and the hex of its encoding.
void PutValue(std::string& out, const std::string& v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == v.size() && c == ' ');
    if (c == '\0') {
      out += "\\00";
      continue;
    }
    if (edge || c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';') out += '\\';
    out += c;
  }
}

// Decodes the certificate table's signatures. One per entry; the status holds
// the first DER fault, after which every read gives up.
class Decoder {
 public:
  Decoder(const Context& ctx, CertEntry& entry, der::Status& st) : ctx_(ctx), entry_(entry), st_(st) {}

  void SignedData(der::Reader& top, int parent);
  bool Certificate(der::Reader& r, std::vector<X509Cert>& bag);
  // One entry of a SignedData's certificates, whichever kind it is.
  bool CertificateChoice(der::Reader& r, std::vector<X509Cert>& bag);

 private:
  std::optional<std::string> Oid(der::Reader& r, Msg what) {
    auto e = r.Expect(der::kOid, what);
    if (!e) return std::nullopt;
    return der::Oid(r, *e);
  }
  // AlgorithmIdentifier: the OID, parameters skipped.
  std::optional<std::string> Algorithm(der::Reader& r, Msg what) {
    auto seq = r.Expect(der::kSequence, what);
    if (!seq) return std::nullopt;
    der::Reader in = r.Enter(*seq);
    return Oid(in, what);
  }
  bool Name(der::Reader& r, DistName& out, Msg what);
  void Time(der::Reader& r, std::string& out, Msg what) {
    auto e = r.Optional(der::kUtcTime);
    if (!e) e = r.Expect(der::kGeneralizedTime, what);
    if (e)
      if (auto t = der::Time(r, *e)) out = *t;
  }
  void PublicKey(der::Reader& r, X509Cert& c);
  // `sig` indexes the signature whose signer this is, or kNone for the signer
  // of a time stamp; only the former has time stamps and nested signatures.
  static constexpr std::size_t kNone = SIZE_MAX;
  void SignerInfo(der::Reader& r, std::size_t sig, Signer& s, std::vector<TimeStamp>* stamps);
  void Attributes(der::Reader& attrs, bool authenticated, std::size_t sig, Signer& s, std::vector<TimeStamp>* stamps);
  void Rfc3161(der::Reader& r, TimeStamp& t);
  void Counter(der::Reader& r, std::size_t sig, TimeStamp& t);
  static void Authority(const std::vector<X509Cert>& bag, const io::Reader& issuer, const io::Reader& serial,
                        TimeStamp& t);

  const Context& ctx_;
  CertEntry& entry_;
  der::Status& st_;
};

bool SameBytes(const io::Reader& a, const io::Reader& b) {
  return a.Size() == b.Size() && std::equal(a.Bytes().begin(), a.Bytes().end(), b.Bytes().begin());
}

bool Decoder::Name(der::Reader& r, DistName& out, Msg what) {
  auto seq = r.Expect(der::kSequence, what);
  if (!seq) return false;
  out.der = seq->whole;
  der::Reader rdns = r.Enter(*seq);
  // Encoded most general first; RFC 4514 writes them the other way round.
  std::vector<std::string> parts;
  while (!rdns.AtEnd()) {
    auto set = rdns.Expect(der::kSet, M::DerWhatRdn);
    if (!set) return false;
    der::Reader atvs = rdns.Enter(*set);
    std::string rdn;
    while (!atvs.AtEnd()) {
      if (!ctx_.budget.Take()) return false;
      auto atv = atvs.Expect(der::kSequence, M::DerWhatNameAttr);
      if (!atv) return false;
      der::Reader in = atvs.Enter(*atv);
      auto type = Oid(in, M::DerWhatNameAttrType);
      auto value = in.Next();
      if (!type || !value) return false;
      if (!rdn.empty()) rdn += '+';
      std::string_view label = Lookup(kNameAttrs, *type);
      std::optional<std::string> text;
      if (!value->Constructed() && value->id != der::kOctetString && value->id != der::kBitString) {
        der::Status quiet;
        der::Reader probe(value->whole, quiet);
        text = der::Text(probe, *value);
      }
      rdn += label.empty() ? *type : std::string(label);
      rdn += '=';
      if (text && !label.empty()) {
        PutValue(rdn, *text);
        if (label == "CN") out.cn = *text;
      } else {
        rdn += '#';
        HexTo(rdn, value->whole.Bytes().first(std::min<std::size_t>(value->whole.Bytes().size(), 256)));
      }
    }
    parts.push_back(std::move(rdn));
  }
  // The first CN found walking from the most specific RDN.
  out.full.clear();
  for (std::size_t i = parts.size(); i-- > 0;) {
    if (!out.full.empty()) out.full += ',';
    out.full += parts[i];
  }
  return rdns.ok();
}

void Decoder::PublicKey(der::Reader& r, X509Cert& c) {
  auto spki = r.Expect(der::kSequence, M::DerWhatSpki);
  if (!spki) return;
  der::Reader in = r.Enter(*spki);
  auto alg = in.Expect(der::kSequence, M::DerWhatKeyAlg);
  if (!alg) return;
  der::Reader a = in.Enter(*alg);
  auto oid = Oid(a, M::DerWhatKeyAlg);
  if (!oid) return;
  std::optional<std::string> curve;
  if (*oid == kOidEc) {
    if (auto p = a.Optional(der::kOid)) curve = der::Oid(a, *p);
  }
  std::optional<Element> dsaParams;
  if (*oid == kOidDsa) dsaParams = a.Optional(der::kSequence);
  auto key = in.Expect(der::kBitString, M::DerWhatKey);
  if (!key) return;
  std::string_view name = Lookup(kOids, *oid);
  c.keyAlg = name.empty() ? *oid : std::string(name);
  io::Reader bits = key->body.From(1);  // after the count of unused bits
  if (*oid == kOidRsa) {
    der::Reader kr(bits, st_);
    auto seq = kr.Expect(der::kSequence, M::DerWhatRsaKey);
    if (!seq) return;
    der::Reader k = kr.Enter(*seq);
    if (auto n = k.Expect(der::kInteger, M::DerWhatRsaModulus)) c.keyBits = BitLength(der::Unsigned(*n));
  } else if (curve) {
    static constexpr OidEntry kCurves[] = {
        {"1.2.840.10045.3.1.7", "P-256"}, {"1.3.132.0.34", "P-384"}, {"1.3.132.0.35", "P-521"}};
    static constexpr std::uint32_t kCurveBits[] = {256, 384, 521};
    for (std::size_t i = 0; i < std::size(kCurves); ++i)
      if (kCurves[i].oid == *curve) {
        c.keyAlg += " " + std::string(kCurves[i].name);
        c.keyBits = kCurveBits[i];
      }
    if (c.keyBits == 0) c.keyAlg += " " + *curve;
  } else if (dsaParams) {
    der::Reader p = a.Enter(*dsaParams);
    if (auto prime = p.Expect(der::kInteger, M::DerWhatDsaPrime)) c.keyBits = BitLength(der::Unsigned(*prime));
  } else if (*oid == "1.3.101.112") {
    c.keyBits = 256;
  } else if (*oid == "1.3.101.113") {
    c.keyBits = 456;
  }
}

bool Decoder::Certificate(der::Reader& r, std::vector<X509Cert>& bag) {
  auto cert = r.Expect(der::kSequence, M::DerWhatCert);
  if (!cert) return false;
  if (!ctx_.budget.Take()) {
    ctx_.an.AtOffset(Area::Certificates, cert->offset, lang::Say(ctx_.options.lang, M::CertWorkCerts));
    return false;
  }
  X509Cert& c = bag.emplace_back();
  c.offset = cert->offset;
  der::Reader outer = r.Enter(*cert);
  auto tbs = outer.Expect(der::kSequence, M::DerWhatTbs);
  if (!tbs) return false;
  der::Reader t = outer.Enter(*tbs);
  if (auto v = t.Optional(der::CtxCons(0))) {
    der::Reader vr = t.Enter(*v);
    if (auto n = vr.Expect(der::kInteger, M::DerWhatCertVersion)) (void)der::SmallInt(vr, *n);
  }
  auto serial = t.Expect(der::kInteger, M::DerWhatCertSerial);
  if (!serial) return false;
  c.serial = der::Unsigned(*serial);
  if (!Algorithm(t, M::DerWhatCertSigAlg)) return false;
  if (!Name(t, c.issuer, M::DerWhatCertIssuer)) return false;
  auto validity = t.Expect(der::kSequence, M::DerWhatValidity);
  if (!validity) return false;
  der::Reader v = t.Enter(*validity);
  Time(v, c.notBefore, M::DerWhatNotBefore);
  Time(v, c.notAfter, M::DerWhatNotAfter);
  if (!Name(t, c.subject, M::DerWhatCertSubject)) return false;
  PublicKey(t, c);
  c.complete = r.ok();
  return r.ok();
}

// The kinds besides X.509 that a certificates set may hold, by their tag.
std::optional<Msg> OtherCertificateKind(std::uint8_t id) {
  switch (id) {
    case der::CtxCons(0): return M::CertKindExtended;
    case der::CtxCons(1): return M::CertKindAttrV1;
    case der::CtxCons(2): return M::CertKindAttrV2;
    case der::CtxCons(3): return M::CertKindOther;
    default: return std::nullopt;
  }
}

bool Decoder::CertificateChoice(der::Reader& r, std::vector<X509Cert>& bag) {
  der::Reader peek = r;
  auto next = peek.Next();
  if (!next) return false;
  if (next->id == der::kSequence) return Certificate(r, bag);
  const std::optional<Msg> kind = OtherCertificateKind(next->id);
  if (!kind) {
    r.Fail(der::Fault::kUnexpected, next->offset,
           lang::Say(r.Language(), M::CertExpectedCertificate, {der::TagName(next->id, r.Language())}));
    return false;
  }
  if (!ctx_.budget.Take()) {
    ctx_.an.AtOffset(Area::Certificates, next->offset, lang::Say(ctx_.options.lang, M::CertWorkCerts));
    return false;
  }
  (void)r.Next();
  X509Cert& c = bag.emplace_back();
  c.offset = next->offset;
  c.kind = kind;
  c.size = next->whole.Size();
  c.complete = true;
  return true;
}

void Decoder::Authority(const std::vector<X509Cert>& bag, const io::Reader& issuer, const io::Reader& serial,
                        TimeStamp& t) {
  t.serial = serial;
  for (const X509Cert& c : bag)
    if (!c.kind && SameBytes(c.serial, serial) && SameBytes(c.issuer.der, issuer)) {
      t.authority = c.subject;
      return;
    }
}

void Decoder::Counter(der::Reader& r, std::size_t sig, TimeStamp& t) {
  Signer s;
  SignerInfo(r, kNone, s, nullptr);
  t.time = s.signingTime;
  t.digestOid = s.digestOid;
  t.issuer = s.issuer;
  Authority(entry_.signatures[sig].certs, s.issuer.der, s.serial, t);
}

void Decoder::Rfc3161(der::Reader& r, TimeStamp& t) {
  // A SignedData of its own whose content is the TSTInfo.
  auto ci = r.Expect(der::kSequence, M::DerWhatStamp);
  if (!ci) return;
  der::Reader c = r.Enter(*ci);
  auto type = Oid(c, M::DerWhatStampType);
  if (!type) return;
  auto wrap = c.Expect(der::CtxCons(0), M::DerWhatStampContent);
  if (!wrap) return;
  der::Reader w = c.Enter(*wrap);
  auto sd = w.Expect(der::kSequence, M::DerWhatStampSignedData);
  if (!sd) return;
  der::Reader s = w.Enter(*sd);
  if (!s.Expect(der::kInteger, M::DerWhatStampVersion)) return;
  if (!s.Expect(der::kSet, M::DerWhatStampDigestAlgs)) return;
  auto encap = s.Expect(der::kSequence, M::DerWhatStampSigned);
  if (!encap) return;
  der::Reader e = s.Enter(*encap);
  auto etype = Oid(e, M::DerWhatStampSignedType);
  if (!etype) return;
  if (*etype != kOidTstInfo) {
    e.Fail(der::Fault::kUnexpected, encap->offset, lang::Say(e.Language(), M::CertStampNotTstInfo, {*etype}));
    return;
  }
  auto ew = e.Expect(der::CtxCons(0), M::DerWhatTstInfo);
  if (!ew) return;
  der::Reader ewr = e.Enter(*ew);
  auto octets = ewr.Expect(der::kOctetString, M::DerWhatTstInfo);
  if (!octets) return;
  der::Reader inner(octets->body, st_);
  auto tst = inner.Expect(der::kSequence, M::DerWhatTstInfo);
  if (!tst) return;
  der::Reader ti = inner.Enter(*tst);
  if (!ti.Expect(der::kInteger, M::DerWhatTstInfoVersion) || !Oid(ti, M::DerWhatStampPolicy)) return;
  auto imprint = ti.Expect(der::kSequence, M::DerWhatStampImprint);
  if (!imprint) return;
  der::Reader im = ti.Enter(*imprint);
  if (auto alg = Algorithm(im, M::DerWhatStampDigestAlg)) t.digestOid = *alg;
  if (!ti.Expect(der::kInteger, M::DerWhatStampSerial)) return;
  auto gen = ti.Expect(der::kGeneralizedTime, M::DerWhatStampTime);
  if (!gen) return;
  if (auto tm = der::Time(ti, *gen)) t.time = *tm;
  // accuracy, ordering and nonce may come before the authority's name.
  while (!ti.AtEnd()) {
    auto x = ti.Next();
    if (!x) return;
    if (x->id == der::CtxCons(0)) {
      der::Reader gn = ti.Enter(*x);
      if (auto dir = gn.Optional(der::CtxCons(4))) {
        der::Reader d = gn.Enter(*dir);
        Name(d, t.authority, M::DerWhatTsaName);
      }
      break;
    }
  }
  // The authority's certificate, through the time stamp's own signer.
  std::vector<X509Cert> bag;
  if (auto certs = s.Optional(der::CtxCons(0))) {
    der::Reader cr = s.Enter(*certs);
    while (!cr.AtEnd() && cr.ok())
      if (!CertificateChoice(cr, bag)) break;
  }
  if (auto crls = s.Optional(der::CtxCons(1))) (void)crls;
  auto infos = s.Expect(der::kSet, M::DerWhatStampSignerInfos);
  if (!infos) return;
  der::Reader ir = s.Enter(*infos);
  Signer signer;
  SignerInfo(ir, kNone, signer, nullptr);
  t.issuer = signer.issuer;
  DistName named = std::move(t.authority);
  Authority(bag, signer.issuer.der, signer.serial, t);
  if (t.authority.full.empty()) t.authority = std::move(named);
  for (X509Cert& x : bag)
    if (x.kind) t.others.push_back(std::move(x));
}

void Decoder::Attributes(der::Reader& attrs, bool authenticated, std::size_t sig, Signer& s,
                         std::vector<TimeStamp>* stamps) {
  while (!attrs.AtEnd()) {
    auto attr = attrs.Expect(der::kSequence, M::DerWhatAttr);
    if (!attr) return;
    der::Reader a = attrs.Enter(*attr);
    auto type = Oid(a, M::DerWhatAttrType);
    if (!type) return;
    auto values = a.Expect(der::kSet, M::DerWhatAttrValues);
    if (!values) return;
    der::Reader v = a.Enter(*values);
    if (authenticated && *type == kOidSigningTime) {
      Time(v, s.signingTime, M::DerWhatSigningTime);
    } else if (authenticated && *type == kOidOpusInfo) {
      auto opus = v.Expect(der::kSequence, M::DerWhatOpus);
      if (!opus) return;
      der::Reader o = v.Enter(*opus);
      if (auto name = o.Optional(der::CtxCons(0))) {
        der::Reader n = o.Enter(*name);
        if (auto str = n.Next()) {
          // [0] holds UTF-16 text, [1] ASCII: read as the strings they stand for.
          Element e = *str;
          e.id = str->id == der::Ctx(0) ? der::kBmpString : der::kIa5String;
          if (auto text = der::Text(n, e)) s.programName = *text;
        }
      }
      if (auto link = o.Optional(der::CtxCons(1))) {
        der::Reader l = o.Enter(*link);
        if (auto url = l.Optional(der::Ctx(0))) {
          s.programUrl = std::string(reinterpret_cast<const char*>(url->body.Bytes().data()), url->body.Bytes().size());
        }
      }
    } else if (!authenticated && stamps != nullptr && *type == kOidCounterSignature) {
      while (!v.AtEnd() && v.ok()) {
        TimeStamp& t = stamps->emplace_back();
        Counter(v, sig, t);
      }
    } else if (!authenticated && stamps != nullptr && *type == kOidRfc3161) {
      while (!v.AtEnd() && v.ok()) {
        TimeStamp& t = stamps->emplace_back();
        t.rfc3161 = true;
        Rfc3161(v, t);
      }
    } else if (!authenticated && stamps != nullptr && *type == kOidNested) {
      while (!v.AtEnd() && v.ok()) SignedData(v, static_cast<int>(sig) + 1);
    }
  }
}

void Decoder::SignerInfo(der::Reader& r, std::size_t sig, Signer& s, std::vector<TimeStamp>* stamps) {
  auto si = r.Expect(der::kSequence, M::DerWhatSignerInfo);
  if (!si) return;
  der::Reader in = r.Enter(*si);
  if (!in.Expect(der::kInteger, M::DerWhatSignerInfoVersion)) return;
  if (auto ski = in.Optional(der::Ctx(0))) {
    s.keyId = ski->body;
  } else {
    auto ias = in.Expect(der::kSequence, M::DerWhatSignerIssuerSerial);
    if (!ias) return;
    der::Reader i = in.Enter(*ias);
    if (!Name(i, s.issuer, M::DerWhatSignerIssuer)) return;
    auto serial = i.Expect(der::kInteger, M::DerWhatSignerSerial);
    if (!serial) return;
    s.serial = der::Unsigned(*serial);
  }
  s.present = true;
  if (auto alg = Algorithm(in, M::DerWhatSignerDigestAlg)) s.digestOid = *alg;
  if (auto auth = in.Optional(der::CtxCons(0))) {
    der::Reader a = in.Enter(*auth);
    Attributes(a, true, sig, s, stamps);
  }
  if (!Algorithm(in, M::DerWhatSigAlg)) return;
  if (!in.Expect(der::kOctetString, M::DerWhatEncryptedDigest)) return;
  if (auto unauth = in.Optional(der::CtxCons(1))) {
    der::Reader u = in.Enter(*unauth);
    Attributes(u, false, sig, s, stamps);
  }
}

void Decoder::SignedData(der::Reader& top, int parent) {
  auto ci = top.Expect(der::kSequence, M::DerWhatContentInfo);
  if (!ci) return;
  if (!ctx_.budget.Take()) {
    ctx_.an.AtOffset(Area::Certificates, ci->offset, lang::Say(ctx_.options.lang, M::CertWorkSignatures));
    return;
  }
  const std::size_t index = entry_.signatures.size();
  entry_.signatures.emplace_back();
  auto sig = [&]() -> Signature& { return entry_.signatures[index]; };  // nested ones may grow the vector
  sig().number = static_cast<int>(index) + 1;
  sig().parent = parent;
  sig().offset = ci->offset;
  der::Reader c = top.Enter(*ci);
  auto type = Oid(c, M::DerWhatSigContentType);
  if (!type) return;
  if (*type != kOidSignedData) {
    c.Fail(der::Fault::kUnexpected, ci->offset, lang::Say(c.Language(), M::CertNotSignedData, {*type}));
    return;
  }
  auto wrap = c.Expect(der::CtxCons(0), M::DerWhatSignedData);
  if (!wrap) return;
  der::Reader w = c.Enter(*wrap);
  auto sd = w.Expect(der::kSequence, M::DerWhatSignedData);
  if (!sd) return;
  der::Reader s = w.Enter(*sd);
  if (!s.Expect(der::kInteger, M::DerWhatSignedDataVersion)) return;
  if (!s.Expect(der::kSet, M::DerWhatDigestAlgs)) return;
  auto encap = s.Expect(der::kSequence, M::DerWhatSignedContent);
  if (!encap) return;
  der::Reader e = s.Enter(*encap);
  auto ctype = Oid(e, M::DerWhatSignedContentType);
  if (!ctype) return;
  sig().contentType = *ctype;
  if (*ctype != kOidIndirectData)
    ctx_.an.AtOffset(Area::Certificates, encap->offset, lang::Say(ctx_.options.lang, M::CertNotIndirectData, {*ctype}));
  if (auto content = *ctype == kOidIndirectData ? e.Optional(der::CtxCons(0)) : std::nullopt) {
    der::Reader cw = e.Enter(*content);
    // SpcIndirectDataContent: what was signed (the PE image) and its digest.
    auto ind = cw.Expect(der::kSequence, M::DerWhatIndirect);
    if (!ind) return;
    der::Reader id = cw.Enter(*ind);
    if (!id.Expect(der::kSequence, M::DerWhatIndirectTypeValue)) return;
    auto info = id.Expect(der::kSequence, M::DerWhatFileDigest);
    if (!info) return;
    der::Reader di = id.Enter(*info);
    auto alg = Algorithm(di, M::DerWhatFileDigestAlg);
    if (!alg) return;
    sig().digestOid = *alg;
    auto digest = di.Expect(der::kOctetString, M::DerWhatFileDigest);
    if (!digest) return;
    sig().signedDigest = digest->body;
  }
  if (auto certs = s.Optional(der::CtxCons(0))) {
    der::Reader cr = s.Enter(*certs);
    std::vector<X509Cert> bag;
    while (!cr.AtEnd())
      if (!CertificateChoice(cr, bag)) break;
    sig().certs = std::move(bag);
  }
  if (auto crls = s.Optional(der::CtxCons(1))) (void)crls;
  auto infos = s.Expect(der::kSet, M::DerWhatSignerInfos);
  if (!infos) return;
  der::Reader ir = s.Enter(*infos);
  Signer signer;
  std::vector<TimeStamp> stamps;
  SignerInfo(ir, index, signer, &stamps);
  for (std::size_t i = 0; i < sig().certs.size(); ++i) {
    const X509Cert& x = sig().certs[i];
    if (!x.kind && SameBytes(x.serial, signer.serial) && SameBytes(x.issuer.der, signer.issuer.der)) {
      signer.cert = static_cast<int>(i);
      break;
    }
  }
  sig().signer = std::move(signer);
  sig().stamps = std::move(stamps);
}

// The file's Authenticode digest: the headers without the checksum and the
// certificate directory entry, each section's raw data in file order, then
// whatever follows the last section except the certificate table.
class FileDigest {
 public:
  FileDigest(const Context& ctx, std::uint64_t tableOff, std::uint64_t tableSize)
      : ctx_(ctx), tableOff_(tableOff), tableEnd_(tableOff + tableSize) {}

  crypto::Digest Compute(crypto::HashAlg alg) {
    for (auto& [a, d] : cache_)
      if (a == alg) return d;
    crypto::Hasher h(alg);
    const Headers& hd = ctx_.h;
    const std::uint64_t size = ctx_.file.Size();
    const std::uint64_t checksum = hd.optionalOffset + 64;
    const std::uint64_t dirEntry = hd.optionalOffset + (hd.opt.pe32plus ? 112 : 96) + 8 * kDirCertificate;
    const std::uint64_t headers = std::min<std::uint64_t>(hd.opt.sizeOfHeaders, size);
    // Header bytes, around the two fields the signature cannot cover.
    std::uint64_t at = 0;
    auto upTo = [&](std::uint64_t skipAt, std::uint64_t len) {
      if (skipAt < at || skipAt >= headers) return;
      Range(h, at, skipAt);
      at = std::min(skipAt + len, headers);
    };
    upTo(checksum, 4);
    upTo(dirEntry, 8);
    Range(h, at, headers);
    std::vector<const Section*> order;
    for (const Section& s : hd.sections)
      if (s.sizeOfRawData != 0) order.push_back(&s);
    std::stable_sort(order.begin(), order.end(),
                     [](const Section* a, const Section* b) { return a->pointerToRawData < b->pointerToRawData; });
    std::uint64_t end = headers;
    gaps_ = 0;
    for (const Section* s : order) {
      const std::uint64_t from = std::min<std::uint64_t>(s->pointerToRawData, size);
      const std::uint64_t to = std::min<std::uint64_t>(std::uint64_t{s->pointerToRawData} + s->sizeOfRawData, size);
      Range(h, from, to);
      if (from > end) gaps_ += from - end;
      end = std::max(end, to);
    }
    // What follows the sections, the certificate table taken out.
    if (tableOff_ > end) Range(h, end, tableOff_);
    Range(h, std::max(end, tableEnd_), size);
    crypto::Digest d = h.Finish();
    cache_.push_back({alg, d});
    return d;
  }

 private:
  // Hashes [from, to) in large pieces straight from the file's bytes.
  void Range(crypto::Hasher& h, std::uint64_t from, std::uint64_t to) {
    constexpr std::uint64_t kPiece = 1 << 20;
    for (std::uint64_t p = from; p < to; p += kPiece) {
      auto piece = ctx_.file.Sub(p, std::min(kPiece, to - p));
      if (!piece) return;
      h.Update(piece->Bytes());
    }
  }

  const Context& ctx_;
  std::uint64_t tableOff_, tableEnd_;
  std::uint64_t gaps_ = 0;

 public:
  // File bytes before the last section that no section or header covers.
  std::uint64_t Gaps() const { return gaps_; }

 private:
  std::vector<std::pair<crypto::HashAlg, crypto::Digest>> cache_;
};

}  // namespace

std::string_view DigestName(std::string_view oid) { return Lookup(kDigests, oid); }
std::string_view OidName(std::string_view oid) { return Lookup(kOids, oid); }

namespace {

// Who signed, whether the digest holds and when: for the summary that opens the listing.
void NoteSignatures(Facts& f, const CertEntry& e) {
  for (const Signature& s : e.signatures) {
    if (s.parent != 0) continue;
    SignatureFacts sf;
    // The signer's certificate is one of its own signature's, not of a bare X.509 entry's.
    if (s.signer.cert >= 0 && static_cast<std::size_t>(s.signer.cert) < s.certs.size()) {
      const DistName& n = s.certs[static_cast<std::size_t>(s.signer.cert)].subject;
      sf.signer = n.cn.empty() ? n.full : n.cn;
    }
    sf.digestOid = s.digestOid;
    sf.digestChecked = s.computed && s.signedDigest.Size() != 0;
    sf.digestMatches = sf.digestChecked && SameBytes(s.signedDigest, io::Reader(s.digest.View()));
    if (!s.stamps.empty()) {
      sf.stampTime = s.stamps.front().time;
      const DistName& a = s.stamps.front().authority;
      sf.stampAuthority = a.cn.empty() ? a.full : a.cn;
    } else {
      sf.stampTime = s.signer.signingTime;
    }
    f.signatures.push_back(std::move(sf));
  }
}

}  // namespace

CertificateTable ParseCertificates(const Context& ctx) {
  CertificateTable t;
  if (ctx.h.dirs.size() <= static_cast<std::size_t>(kDirCertificate)) return t;
  const DataDirectory& dir = ctx.h.dirs[kDirCertificate];
  if (dir.rva == 0) return t;
  t.offset = dir.rva;
  t.size = dir.size;
  const std::uint64_t fileSize = ctx.file.Size();
  if (dir.rva >= fileSize) return t;  // the directory listing says so already
  t.present = true;
  const lang::Lang l = ctx.options.lang;
  const std::uint64_t avail = std::min<std::uint64_t>(dir.size, fileSize - dir.rva);
  const io::Reader table = *ctx.file.Sub(dir.rva, avail);
  t.appended = fileSize - (dir.rva + avail);

  // The image data: headers and every section's raw bytes come before the table.
  t.imageEnd = std::min<std::uint64_t>(ctx.h.opt.sizeOfHeaders, fileSize);
  for (const Section& s : ctx.h.sections)
    if (s.sizeOfRawData != 0)
      t.imageEnd = std::max(t.imageEnd, std::min<std::uint64_t>(std::uint64_t{s.pointerToRawData} + s.sizeOfRawData,
                                                                 fileSize));
  if (dir.rva < t.imageEnd)
    ctx.an.AtOffset(Area::Certificates, dir.rva, lang::Say(l, M::CertOverlapsImage, {Hex(t.imageEnd)}));
  if (dir.rva % 8 != 0)
    ctx.an.AtOffset(Area::Certificates, dir.rva, lang::Say(l, M::CertUnaligned));
  if (t.appended != 0)
    ctx.an.AtOffset(Area::Certificates, dir.rva + avail, lang::Say(l, M::CertAppended, {t.appended}));

  FileDigest digest(ctx, dir.rva, avail);
  bool hashed = false;
  for (std::uint64_t at = 0; at < table.Size();) {
    if (!ctx.budget.Take()) {
      ctx.an.AtOffset(Area::Certificates, table.Base() + at, lang::Say(l, M::CertWorkEntries));
      break;
    }
    io::Cursor c(table, at);
    CertEntry e;
    e.offset = table.Base() + at;
    e.length = c.U32();
    e.revision = c.U16();
    e.type = c.U16();
    if (!c.ok()) {
      ctx.an.AtOffset(Area::Certificates, e.offset, lang::Say(l, M::CertEntryHeaderCut));
      break;
    }
    if (e.length < 8) {
      ctx.an.AtOffset(Area::Certificates, e.offset, lang::Say(l, M::CertEntryTooShort, {e.length}));
      break;
    }
    bool whole = table.Has(at, e.length);
    if (!whole)
      ctx.an.AtOffset(Area::Certificates, e.offset, lang::Say(l, M::CertEntryCut, {e.length, table.Size() - at}));
    e.data = table.Sub(at + 8, std::min<std::uint64_t>(e.length, table.Size() - at) - 8).value_or(io::Reader());
    // Entries follow each other on 8-byte boundaries, the gap filled with zeros.
    const std::uint64_t next = (at + e.length + 7) / 8 * 8;
    for (std::uint64_t p = at + e.length; whole && p < next && p < table.Size(); ++p)
      if (table.U8(p) != 0) {
        ctx.an.AtOffset(Area::Certificates, table.Base() + p, lang::Say(l, M::CertPadding));
        break;
      }

    der::Status st;
    st.lang = l;
    Decoder dec(ctx, e, st);
    der::Reader r(e.data, st);
    if (e.type == kTypePkcs7) {
      dec.SignedData(r, 0);
    } else if (e.type == kTypeX509) {
      dec.Certificate(r, e.certs);
    }
    if (!st.ok()) ctx.an.AtOffset(Area::Certificates, st.offset, lang::Say(l, M::CertDecodeFault, {st.text}));
    for (Signature& s : e.signatures) {
      auto alg = HashOf(s.digestOid);
      if (!alg) {
        if (!s.digestOid.empty())
          ctx.an.AtOffset(Area::Certificates, s.offset,
                          lang::Say(l, M::CertDigestNotComputed,
                                    {s.number, DigestName(s.digestOid).empty() ? std::string_view(s.digestOid)
                                                                               : DigestName(s.digestOid)}));
        continue;
      }
      s.computed = true;
      s.digest = digest.Compute(*alg);
      if (!hashed && digest.Gaps() != 0)
        ctx.an.Note(Area::Certificates, lang::Say(l, M::CertGaps, {digest.Gaps()}));
      hashed = true;
      if (s.signedDigest.Size() != 0 && !SameBytes(s.signedDigest, io::Reader(s.digest.View())))
        ctx.an.AtOffset(Area::Certificates, s.signedDigest.Base(), lang::Say(l, M::CertMismatch, {s.number}));
    }
    if (Facts* f = ctx.facts) NoteSignatures(*f, e);
    t.entries.push_back(std::move(e));
    if (!whole) break;
    at = next;
  }
  if (ctx.facts) ctx.facts->signatureTable = true;
  return t;
}

}  // namespace kestrova::dumper::pe
