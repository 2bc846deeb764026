#!/usr/bin/env bash
# Regenerates the committed art: zelmora.ico (32x32, 16 colours) and
# logo.gif (187x88, 256-entry palette).  The build only uses the outputs, so
# ImageMagick 6 and python3 are needed only when the art changes.
#
# Output is byte-for-byte reproducible: ImageMagick only rasterises into raw
# pixel buffers (no metadata, no time chunks) and python3 writes both
# containers itself, which also pins the exact palette sizes we need.
#
# Usage: resources/make_art.sh   (run from any directory)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf

for tool in convert identify python3; do
    command -v "$tool" >/dev/null || { echo "make_art.sh: $tool not found" >&2; exit 1; }
done
[[ -r $font ]] || { echo "make_art.sh: missing $font (package fonts-dejavu-core)" >&2; exit 1; }

export LC_ALL=C
# One thread keeps resampling sums in a fixed order.
export MAGICK_THREAD_LIMIT=1

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

im() { convert -limit thread 1 "$@"; }

# ---------------------------------------------------------------------------
# Icon: drawn 8x oversize, box-filtered down to 32x32 so edges get coverage
# antialiasing.  Hands and ticks are 2 px wide on even pixel boundaries around
# the dial centre (15,17), so a 2:1 shrink to the 16x16 tray size (box or
# nearest neighbour) keeps them as crisp 1 px lines.
S=8
# rect X0 Y0 X1 Y1: icon pixel-edge coordinates -> oversize MVG rectangle
rect() { echo "rectangle $(($1 * S)),$(($2 * S)) $(($3 * S - 1)),$(($4 * S - 1))"; }
# circ R: disc of radius R (icon pixels) around the dial centre
circ() { awk -v s=$S -v r="$1" 'BEGIN { cx = 15 * s - 0.5; cy = 17 * s - 0.5;
                                         printf "circle %g,%g %g,%g", cx, cy, cx, cy - r * s }'; }
# tick marks at 12, 3, 6 and 9; hands show three o'clock
icon_mvg=$(cat <<EOF
fill #0B2E6B $(circ 15)
fill #2467C8 $(circ 14)
fill #FFFFFF $(circ 11)
fill #0B2E6B
$(rect 14 6 16 8)
$(rect 14 26 16 28)
$(rect 4 16 6 18)
$(rect 24 16 26 18)
$(rect 14 8 16 18)
$(rect 14 16 22 18)
EOF
)
im -size $((32 * S))x$((32 * S)) xc:none -draw "$icon_mvg" \
    -filter box -resize 32x32 -depth 8 "rgba:$tmp/icon.rgba"

# ---------------------------------------------------------------------------
# Logo: drawn 4x oversize on white, box-filtered to 187x88, then reduced to at
# most 256 colours without dithering (flat areas stay flat).
L=4
LW=$((187 * L)) LH=$((88 * L))
gx=147.5 gy=175.5 gr=120        # globe centre and radius, oversize pixels
globe_mvg=$(awk -v cx=$gx -v cy=$gy -v r=$gr 'BEGIN {
    pi = atan2(0, -1)
    # meridians and parallels, faint so the hands stay the focus
    print "fill none stroke #C4DCF8 stroke-opacity 0.55 stroke-width 5"
    printf "line %g,%g %g,%g\n", cx, cy - r, cx, cy + r
    split("0.5 0.866", f, " ")
    for (i = 1; i <= 2; i++) printf "ellipse %g,%g %g,%g 0,360\n", cx, cy, r * f[i], r
    for (lat = -60; lat <= 60; lat += 30) {
        y = cy + r * sin(lat * pi / 180); hw = r * cos(lat * pi / 180)
        printf "line %g,%g %g,%g\n", cx - hw, y, cx + hw, y
    }
    # rim
    print "stroke-opacity 1 stroke #0B2E6B stroke-width 8"
    printf "circle %g,%g %g,%g\n", cx, cy, cx, cy - r + 4
    # hands at ten past ten
    print "stroke #FFFFFF stroke-linecap round stroke-width 22"
    printf "line %g,%g %g,%g\n", cx, cy, cx + 56 * sin(-60 * pi / 180), cy - 56 * cos(-60 * pi / 180)
    print "stroke-width 15"
    printf "line %g,%g %g,%g\n", cx, cy, cx + 84 * sin(60 * pi / 180), cy - 84 * cos(60 * pi / 180)
    print "stroke none fill #FFFFFF"
    printf "circle %g,%g %g,%g\n", cx, cy, cx, cy - 17
    print "fill #0B2E6B"
    printf "circle %g,%g %g,%g\n", cx, cy, cx, cy - 7
}')

# globe body: radial gradient lit from up and left of centre, cut to a disc
im -size ${LW}x${LH} -define gradient:center=98,121 \
    -define gradient:radii=190,190 radial-gradient:'#5AA6F0'-'#0D3A86' \
    "$tmp/shade.miff"
im -size ${LW}x${LH} xc:black -fill white \
    -draw "circle $gx,$gy $gx,$(awk -v y=$gy -v r=$gr 'BEGIN { print y - r }')" "$tmp/disc.miff"
im "$tmp/shade.miff" "$tmp/disc.miff" -alpha off -compose copy_opacity -composite "$tmp/globe.miff"

im -size ${LW}x${LH} xc:white "$tmp/globe.miff" -compose over -composite \
    -draw "$globe_mvg" \
    -font "$font" -pointsize $((22 * L)) -fill '#123F87' -stroke none \
    -gravity west -annotate +$((75 * L))+0 'Zelmora' \
    -filter box -resize 187x88 -alpha off -depth 8 +dither -colors 256 -depth 8 \
    "rgb:$tmp/logo.rgb"

# ---------------------------------------------------------------------------
# Containers and checks.  Python writes the files, then re-reads them both
# with its own parser and through ImageMagick's decoder, and fails if either
# disagrees with the intended pixels.
python3 - "$tmp" "$here" <<'PY'
import os
import struct
import subprocess
import sys

tmp, out_dir = sys.argv[1], sys.argv[2]

# --- icon -------------------------------------------------------------------
# Index 0 must be black: masked pixels are drawn as screen AND 1 XOR 0.
ICON_PALETTE = [
    (0x00, 0x00, 0x00),  # transparent (under the AND mask)
    (0xFF, 0xFF, 0xFF),  # face
    (0x0B, 0x2E, 0x6B),  # hands, ticks, outline
    (0x24, 0x67, 0xC8),  # rim
    # antialiasing steps between the colours above
    (0x17, 0x4B, 0x9A),
    (0x5B, 0x8D, 0xD6),
    (0x92, 0xB3, 0xE4),
    (0xC8, 0xD9, 0xF1),
    (0x48, 0x62, 0x90),
    (0x85, 0x97, 0xB5),
    (0xC2, 0xCB, 0xDA),
    (0x10, 0x3C, 0x83),
    (0x1D, 0x59, 0xB1),
    (0xE4, 0xEC, 0xF8),
    (0x2F, 0x4C, 0x7D),
    (0x65, 0x7B, 0xA3),
]
assert len(ICON_PALETTE) == 16 and len(set(ICON_PALETTE)) == 16


def nearest(rgb, palette, start=0):
    r, g, b = rgb
    return min(range(start, len(palette)),
               key=lambda i: (palette[i][0] - r) ** 2 + (palette[i][1] - g) ** 2
               + (palette[i][2] - b) ** 2)


def write_ico(rgba, size, path):
    assert len(rgba) == size * size * 4
    index = []  # top-down rows of palette indices, None = transparent
    for y in range(size):
        row = []
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            # black stays reserved for the mask, so opaque pixels map to 1..15
            row.append(None if a < 128 else nearest((r, g, b), ICON_PALETTE, 1))
        index.append(row)

    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(index):  # DIBs are stored bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, i in enumerate(row):
            if i is None:
                bits[x // 8] |= 0x80 >> (x % 8)
                i = 0
            line[x // 2] |= i << (4 if x % 2 == 0 else 0)
        xor += line
        mask += bits

    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in ICON_PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)
    return index


def check_ico(path, expected_index):
    data = open(path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind, count) == (0, 1, 1), "ICONDIR"
    w, h, colours, _, planes, bpp, nbytes, offset = struct.unpack_from("<BBBBHHII", data, 6)
    assert (w, h, colours, planes, bpp) == (32, 32, 16, 1, 4), "ICONDIRENTRY"
    assert offset + nbytes == len(data), "ICONDIRENTRY size/offset"
    (hsize, bw, bh, bplanes, bbits, comp, img_size, _, _, used, _) = \
        struct.unpack_from("<IiiHHIIiiII", data, offset)
    assert (hsize, bw, bh, bplanes, bbits, comp) == (40, 32, 64, 1, 4, 0), "BITMAPINFOHEADER"
    ncolours = used or 16
    assert ncolours == 16
    pal_at = offset + hsize
    xor_at = pal_at + 4 * ncolours
    and_at = xor_at + 16 * 32
    assert and_at + 4 * 32 == len(data) and img_size == 16 * 32 + 4 * 32, "bitmap sizes"
    assert data[pal_at + 3:xor_at:4] == bytes(16), "RGBQUAD reserved bytes"
    assert data[pal_at:pal_at + 4] == bytes(4), "palette index 0 is not black"
    for y in range(32):
        row = 31 - y
        for x in range(32):
            i = (data[xor_at + row * 16 + x // 2] >> (4 if x % 2 == 0 else 0)) & 15
            masked = data[and_at + row * 4 + x // 8] >> (7 - x % 8) & 1
            want = expected_index[y][x]
            assert (want is None) == bool(masked), f"AND mask at {x},{y}"
            assert i == (0 if want is None else want), f"XOR index at {x},{y}"
    used_idx = {i for row in expected_index for i in row if i is not None}
    opaque = sum(i is not None for row in expected_index for i in row)
    print(f"zelmora.ico: {len(data)} bytes, 1 image, {bw}x{bh // 2}, biBitCount={bbits}, "
          f"palette {ncolours} entries ({len(used_idx)} used by opaque pixels), "
          f"{opaque}/1024 opaque, AND mask present")


# --- logo GIF -----------------------------------------------------------------
def lzw_encode(indices, min_code_size=8):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out = bytearray()
    acc = nbits = 0

    def emit(code, width):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    width = min_code_size + 1
    table = {}
    next_code = end + 1
    emit(clear, width)
    prefix = indices[0]
    for k in indices[1:]:
        key = (prefix, k)
        if key in table:
            prefix = table[key]
            continue
        emit(prefix, width)
        if next_code < 4096:
            table[key] = next_code
            # the decoder widens once the code it will assign next needs it
            if next_code == 1 << width and width < 12:
                width += 1
            next_code += 1
        else:  # table full: start over
            emit(clear, width)
            table.clear()
            next_code = end + 1
            width = min_code_size + 1
        prefix = k
    emit(prefix, width)
    emit(end, width)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def write_gif(rgb, w, h, path):
    assert len(rgb) == w * h * 3
    pixels = [tuple(rgb[i:i + 3]) for i in range(0, len(rgb), 3)]
    colours = sorted(set(pixels), key=lambda c: (c != (255, 255, 255), c))
    assert len(colours) <= 256, len(colours)
    lookup = {c: i for i, c in enumerate(colours)}
    table = b"".join(bytes(c) for c in colours) + bytes(3 * (256 - len(colours)))
    data = lzw_encode([lookup[p] for p in pixels])
    blocks = b"".join(bytes((len(data[i:i + 255]),)) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    # global table flag, 8 bits/primary, 256 entries; background = white (0)
    screen = struct.pack("<HHBBB", w, h, 0x80 | (7 << 4) | 7, 0, 0)
    image = b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
    with open(path, "wb") as f:
        f.write(b"GIF89a" + screen + table + image + bytes((8,)) + blocks + b"\x00\x3b")
    return len(colours)


def check_gif(path, used):
    data = open(path, "rb").read()
    assert data[:6] == b"GIF89a", "signature"
    w, h, packed = struct.unpack_from("<HHB", data, 6)
    assert (w, h) == (187, 88), "logical screen size"
    assert packed & 0x80 and packed & 7 == 7, "global colour table flag/size"
    assert data[13 + 768] == 0x2C, "image descriptor must follow the table"
    assert data[-1] == 0x3B, "trailer"
    print(f"logo.gif: {len(data)} bytes, {w}x{h}, global colour table "
          f"{2 << (packed & 7)} entries (packed 0x{packed:02X}, low bits {packed & 7}), "
          f"{used} colours used, no transparency")


def decoded(path, fmt):
    return subprocess.run(["convert", path, "-depth", "8", fmt + ":-"],
                          check=True, stdout=subprocess.PIPE).stdout


rgba = open(os.path.join(tmp, "icon.rgba"), "rb").read()
ico = os.path.join(out_dir, "zelmora.ico")
index = write_ico(rgba, 32, ico)
check_ico(ico, index)
want = bytearray()
for row in index:
    for i in row:
        want += bytes((0, 0, 0, 0)) if i is None else bytes(ICON_PALETTE[i] + (255,))
got = bytearray(decoded(ico, "rgba"))
for p in range(0, len(got), 4):  # colour under alpha 0 is meaningless
    if got[p + 3] == 0:
        got[p:p + 4] = bytes(4)
assert got == want, "ImageMagick decodes zelmora.ico differently"

rgb = open(os.path.join(tmp, "logo.rgb"), "rb").read()
gif = os.path.join(out_dir, "logo.gif")
used = write_gif(rgb, 187, 88, gif)
check_gif(gif, used)
assert decoded(gif, "rgb") == rgb, "ImageMagick decodes logo.gif differently"
PY

# Second opinion from ImageMagick's own reader.
identify -format '%f: %wx%h, %z-bit, %k colours in use, type %[type]\n' \
    "$here/zelmora.ico" "$here/logo.gif"
