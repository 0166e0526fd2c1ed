#!/usr/bin/env python3
"""Writes code_page_tables.cpp: the byte -> UTF-16 tables of the code pages
MultiByteToWideChar and WideCharToMultiByte know besides 1252 and UTF-8.

    python3 platform/text/make_code_page_tables.py > platform/text/code_page_tables.cpp

The mappings come from Python's codecs (cp874, cp125x, cp437 ..., mac_*,
cp932, gbk, cp949, cp950), which follow the published vendor tables. Python
has no codec for the Mac East Asian pages (10001 Japanese, 10002 Traditional
Chinese, 10003 Korean, 10008 Simplified Chinese); for those the published
Apple tables (JAPANESE.TXT, CHINTRAD.TXT, KOREAN.TXT, CHINSIMP.TXT) are read
through Perl's Encode (MacJapanese, MacChineseTrad, MacKorean,
MacChineseSimp), which is built from them and ships with Debian's perl. Where
Windows' own tables (Unicode's WindowsBestFit/bestfit*.txt MBTABLE) differ,
Windows wins:
- the bytes a Windows page leaves undefined decode to something all the same:
  80-9F to the C1 control of the same value, the rest to private-use code
  points, so no byte of those pages is invalid;
- 1255 has byte CA (U+05BA), which older codec tables lack;
- 936 has the euro sign at byte 80.
Encoding is the inverse of decoding: where two byte sequences decode to the
same character, the first in byte order is what encodes it, unless the codec
or Windows encodes the character to another one (an override below; for 932
Windows prefers the IBM extensions to the NEC-selected copies of them). Characters the
codec encodes but that do not decode back are one-way (best-fit) mappings.

The Apple tables map some codes to a character followed by one of Apple's
private-use variant tags, or to several characters (843 codes of 10003, most
of them composed Hangul symbols; 55 of 10001, 23 of 10002, 10 of 10008);
a Windows table holds one UTF-16 unit a code, so those codes decode to
nothing here. 10001's byte 5C stays the ASCII backslash (Apple's table gives
the yen sign): every page here keeps bytes 00-7F as ASCII.

Not reproduced: the rest of Windows' best-fit tables (the ANSI pages get
only their fullwidth-ASCII best fits, computed by the encoder; the OEM and
Mac pages none), the user-defined (EUDC) ranges of 936, 949 and 950, and the
glyphs MB_USEGLYPHCHARS gives the OEM pages' control bytes. The Mac pages
follow Apple's current tables (10000: DB is the euro sign, F0 U+F8FF).
"""
import sys

WINDOWS_SBCS = [874, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258]
OTHER_SBCS = [(437, 'cp437'), (850, 'cp850'), (852, 'cp852'), (866, 'cp866'),
              (10000, 'mac_roman'), (10006, 'mac_greek'), (10007, 'mac_cyrillic'),
              (10029, 'mac_latin2'), (10079, 'mac_iceland'), (10081, 'mac_turkish')]

# bestfit*.txt MBTABLE entries for bytes A0-FF that the codec leaves undefined.
WINDOWS_EXTRA = {
    874: {0xDB: 0xF8C1, 0xDC: 0xF8C2, 0xDD: 0xF8C3, 0xDE: 0xF8C4,
          0xFC: 0xF8C5, 0xFD: 0xF8C6, 0xFE: 0xF8C7, 0xFF: 0xF8C8},
    1253: {0xAA: 0xF8F9, 0xD2: 0xF8FA, 0xFF: 0xF8FB},
    1255: {0xCA: 0x05BA, 0xD9: 0xF88D, 0xDA: 0xF88E, 0xDB: 0xF88F, 0xDC: 0xF890,
           0xDD: 0xF891, 0xDE: 0xF892, 0xDF: 0xF893, 0xFB: 0xF894, 0xFC: 0xF895,
           0xFF: 0xF896},
    1257: {0xA1: 0xF8FC, 0xA5: 0xF8FD},
}

# (code page, codec, lead byte ranges, first and last trail byte, Unicode
# default character, single-byte additions).
DBCS = [
    (932, 'cp932', [(0x81, 0x9F), (0xE0, 0xFC)], 0x40, 0xFC, 0x30FB, {}),
    (936, 'gbk', [(0x81, 0xFE)], 0x40, 0xFE, 0x003F, {0x80: 0x20AC}),
    (949, 'cp949', [(0x81, 0xFE)], 0x41, 0xFE, 0x003F, {}),
    (950, 'cp950', [(0x81, 0xFE)], 0x40, 0xFE, 0x003F, {}),
    (10001, 'perl:MacJapanese', [(0x81, 0x9F), (0xE0, 0xED)], 0x40, 0xFC, 0x003F, {}),
    (10002, 'perl:MacChineseTrad', [(0xA1, 0xC6), (0xC9, 0xF9)], 0x40, 0xFE, 0x003F, {}),
    (10003, 'perl:MacKorean', [(0xA1, 0xAD), (0xB0, 0xC8), (0xCA, 0xFD)], 0x41, 0xFE, 0x003F, {}),
    (10008, 'perl:MacChineseSimp', [(0xA1, 0xA9), (0xB0, 0xF7)], 0xA1, 0xFE, 0x003F, {}),
]

# What Perl's Encode decodes each code of a page to: byte or byte pair ->
# a single BMP unit; codes that give nothing, a partial character or more
# than one character are left out.
PERL_DUMP = r"""
use Encode;
my $name = shift;
my $enc = Encode::find_encoding($name) or die "no encoding $name\n";
sub put {
  my ($bytes) = @_;
  my $text = eval { $enc->decode(my $copy = $bytes, Encode::FB_CROAK) };
  return 0 unless defined $text;
  return 1 if $text eq '';
  printf "%s %04X\n", unpack('H*', $bytes), ord $text
    if length($text) == 1 && ord($text) < 0x10000;
  return 0;
}
for my $b (0x80 .. 0xFF) {
  next unless put(chr $b);
  put(chr($b) . chr($_)) for 0x40 .. 0xFE;
}
"""
_perl_tables = {}


def perl_table(name):
    if name not in _perl_tables:
        import subprocess
        out = subprocess.run(['perl', '-e', PERL_DUMP, name], check=True, capture_output=True,
                             text=True).stdout
        table = {}
        for line in out.splitlines():
            code, unit = line.split()
            table[bytes.fromhex(code)] = int(unit, 16)
        _perl_tables[name] = table
    return _perl_tables[name]

NONE = 0xFFFF  # a noncharacter: marks bytes and pairs that decode to nothing


def decode(codec, data):
    if codec.startswith('perl:'):
        return perl_table(codec[5:]).get(bytes(data))
    try:
        s = data.decode(codec)
    except UnicodeDecodeError:
        return None
    return ord(s) if len(s) == 1 and ord(s) < 0x10000 else None


def encode(codec, unit):
    # A table read through Perl is encoded as its inverse alone.
    if codec.startswith('perl:'):
        return None
    try:
        return int.from_bytes(chr(unit).encode(codec), 'big')
    except UnicodeEncodeError:
        return None


def bmp():
    return (u for u in range(0x10000) if not 0xD800 <= u <= 0xDFFF)


def windows_choice(cp, unit, codes, code):
    """The code Windows encodes `unit` to, of the `codes` that decode to it
    and the codec's choice `code`. 932's NEC-selected IBM extensions (rows ED
    and EE) encode to the IBM extensions (rows FA-FC) instead."""
    if cp == 932 and code is not None and code >> 8 in (0xED, 0xEE):
        ibm = [c for c in codes if 0xFA <= c >> 8 <= 0xFC]
        if ibm:
            return ibm[0]
    return code


def overrides(cp, codec, table):
    """(unit, code) where Windows' encoding differs from the first code in
    `table` (code -> unit, iterated in code order) that decodes to unit."""
    codes = {}
    for code, unit in table:
        codes.setdefault(unit, []).append(code)
    out = []
    for unit in bmp():
        code = windows_choice(cp, unit, codes.get(unit, []), encode(codec, unit))
        if code is None or unit < 0x80:
            continue
        if codes.get(unit, [None])[0] != code:
            out.append((unit, code))
    return out


def sbcs(cp, codec, windows):
    upper = []
    extra = WINDOWS_EXTRA.get(cp, {})
    for b in range(0x80, 0x100):
        u = extra.get(b, decode(codec, bytes([b])))
        if u is None and windows and b < 0xA0:
            u = b
        assert u is not None, 'cp%d byte %02X has no mapping' % (cp, b)
        upper.append(u)
    for b in range(0x80):
        assert decode(codec, bytes([b])) == b, 'cp%d is not ASCII-compatible' % cp
    over = overrides(cp, codec, [(0x80 + i, u) for i, u in enumerate(upper)])
    return upper, over


def dbcs(cp, codec, leads, trail_first, trail_last, extra):
    is_lead = lambda b: any(lo <= b <= hi for lo, hi in leads)
    singles = []
    for b in range(0x80, 0x100):
        u = None if is_lead(b) else extra.get(b, decode(codec, bytes([b])))
        singles.append(NONE if u is None else u)
    rows = []
    lead_index = []
    for b in range(0x80, 0x100):
        if not is_lead(b):
            lead_index.append(0)
            continue
        rows.append([])
        lead_index.append(len(rows))
        for t in range(trail_first, trail_last + 1):
            u = decode(codec, bytes([b, t]))
            rows[-1].append(NONE if u is None else u)
    table = [(0x80 + i, u) for i, u in enumerate(singles) if u != NONE]
    for b in range(0x80, 0x100):
        if lead_index[b - 0x80]:
            row = rows[lead_index[b - 0x80] - 1]
            table.extend(((b << 8) | (trail_first + i), u) for i, u in enumerate(row) if u != NONE)
    for b, u in extra.items():
        assert encode(codec, u) in (None, b)
    return singles, lead_index, rows, overrides(cp, codec, table)


def emit(items, per_line, fmt):
    return '\n'.join('    ' + ' '.join(fmt(x) for x in items[i:i + per_line])
                     for i in range(0, len(items), per_line))


def emit_overrides(out, name, over):
    if not over:
        return 'nullptr', 0
    out.write('constexpr EncodeOverride %s[] = {\n' % name)
    out.write(emit(over, 6, lambda x: '{0x%04X, 0x%04X},' % x) + '\n};\n\n')
    return name, len(over)


def main():
    out = sys.stdout
    out.write('// Generated by make_code_page_tables.py from the codecs of Python %d.%d\n'
              % sys.version_info[:2])
    out.write("// and Windows' own additions (see the script); do not edit by hand.\n")
    out.write('#include "text/code_page_tables.h"\n\nnamespace velmora::text::tables {\nnamespace {\n\n')
    single_entries = []
    pages = [(cp, 'cp%d' % cp, True) for cp in WINDOWS_SBCS] + [(cp, c, False) for cp, c in OTHER_SBCS]
    for cp, codec, windows in sorted(pages):
        upper, over = sbcs(cp, codec, windows)
        out.write('// %s\nconstexpr char16_t k%dUpper[128] = {\n' % (codec, cp))
        out.write(emit(upper, 8, lambda x: '0x%04X,' % x) + '\n};\n\n')
        name, count = emit_overrides(out, 'k%dOverrides' % cp, over)
        single_entries.append('{%d, k%dUpper, %s, %d, %s}' %
                              (cp, cp, name, count, 'true' if windows else 'false'))
    double_entries = []
    for cp, codec, leads, tf, tl, default, extra in DBCS:
        singles, lead_index, rows, over = dbcs(cp, codec, leads, tf, tl, extra)
        out.write('// %s\nconstexpr char16_t k%dSingles[128] = {\n' % (codec, cp))
        out.write(emit(singles, 8, lambda x: '0x%04X,' % x) + '\n};\n\n')
        out.write('constexpr uint8_t k%dLeadRows[128] = {\n' % cp)
        out.write(emit(lead_index, 16, lambda x: '%d,' % x) + '\n};\n\n')
        out.write('constexpr char16_t k%dRows[] = {\n' % cp)
        flat = [u for row in rows for u in row]
        out.write(emit(flat, 12, lambda x: '0x%04X,' % x) + '\n};\n\n')
        name, count = emit_overrides(out, 'k%dOverrides' % cp, over)
        double_entries.append('{%d, k%dSingles, k%dLeadRows, k%dRows, 0x%02X, 0x%02X, 0x%04X, %s, %d}' %
                              (cp, cp, cp, cp, tf, tl, default, name, count))
    out.write('}  // namespace\n\n')
    out.write('const SingleByteTable kSingleByteTables[] = {\n')
    out.write(''.join('    %s,\n' % e for e in single_entries) + '};\n')
    out.write('const size_t kSingleByteTableCount = %d;\n\n' % len(single_entries))
    out.write('const DoubleByteTable kDoubleByteTables[] = {\n')
    out.write(''.join('    %s,\n' % e for e in double_entries) + '};\n')
    out.write('const size_t kDoubleByteTableCount = %d;\n\n' % len(double_entries))
    out.write('}  // namespace velmora::text::tables\n')


if __name__ == '__main__':
    main()
