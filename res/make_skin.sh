#!/bin/bash
# Draws the installer's skin into OUTDIR: the idle background (140), four
# installing backgrounds (141, 142, 143, 146), the bar track (144) and fill
# (145) as JPEG, and the program icon (128) as .ico. ImageMagick, jpegtran
# and the WenQuanYi font come from Debian (scripts/bootstrap).
set -euo pipefail
out="${1:?usage: make_skin.sh OUTDIR}"
mkdir -p "$out"
IM=/usr/bin/convert-im6.q16
[ -x "$IM" ] || IM=/usr/bin/convert
FONT=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
W=530; H=360

# The window chrome every background shares: a deep blue field with a soft
# light arc, the product name, and the minimise (470..500) and close
# (500..530) glyphs in the top-right 32-pixel band.
base() {  # base OUT TOPCOLOR BOTTOMCOLOR
    "$IM" -size ${W}x${H} "gradient:$2-$3" \
        -fill 'rgba(255,255,255,0.06)' -draw "circle 430,420 430,120" \
        -fill 'rgba(255,255,255,0.05)' -draw "circle 60,-40 60,150" \
        -stroke 'rgba(255,255,255,0.9)' -strokewidth 2 \
        -draw "line 479,16 491,16" \
        -draw "line 509,10 521,22" -draw "line 521,10 509,22" \
        -stroke none -font "$FONT" -fill white -pointsize 15 \
        -annotate +18+22 '塔维罗' \
        "$1"
}

# Idle page: name, tag line and the install button inside {185,287,359,334}.
base "$out/start.png" '#1d4e89' '#0f2f57'
"$IM" "$out/start.png" -font "$FONT" -fill white -gravity north \
    -pointsize 54 -annotate +0+92 '塔维罗' \
    -pointsize 16 -fill 'rgba(255,255,255,0.8)' -annotate +0+168 '远程协作 · 安全 · 流畅' \
    -gravity none -fill '#e53935' -draw "roundrectangle 187,289 357,332 22,22" \
    -fill white -pointsize 20 -gravity north -annotate +0+298 '立即安装' \
    -quality 92 "$out/skin140.jpg"

# Installing pages: a message each, and a white strip along the bottom
# (y >= 324) where the status and percent labels sit on white. They hold
# only white on blue, so their colour is stored at half resolution (4:2:0,
# about 4 KB less each, nothing visible); the first page keeps full colour
# for the edge of its red button.
slide() {  # slide ID TITLE LINE
    base "$out/s$1.png" '#1d4e89' '#0f2f57'
    "$IM" "$out/s$1.png" -font "$FONT" -fill white -gravity north \
        -pointsize 30 -annotate +0+120 "$2" \
        -pointsize 15 -fill 'rgba(255,255,255,0.8)' -annotate +0+172 "$3" \
        -gravity none -fill white -draw "rectangle 0,324 529,359" \
        -quality 92 -sampling-factor 2x2 "$out/skin$1.jpg"
}
slide 141 '正在安装塔维罗' '请稍候，安装完成后将自动启动'
slide 142 '随时随地，远程协作' '一个账号，连接你的每一台设备'
slide 143 '连接加密，放心使用' '所有会话全程加密传输'
slide 146 '多端同步，随时切换' '在手机和电脑之间无缝衔接'

# Progress bar: grey track and red fill, 490 x 6.
"$IM" -size 490x6 xc:'#e3e3e3' -quality 95 "$out/skin144.jpg"
"$IM" -size 490x6 gradient:'#ef5350-#c62828' -rotate 90 -resize '490x6!' -quality 95 \
    "$out/skin145.jpg"

# Icon: a red rounded square with the first character of the name.
"$IM" -size 256x256 xc:none -fill '#e53935' -draw "roundrectangle 8,8 247,247 48,48" \
    -font "$FONT" -fill white -pointsize 170 -gravity center -annotate +0+0 '塔' \
    "$out/icon.png"
"$IM" "$out/icon.png" -define icon:auto-resize=48,32,16 "$out/icon.ico"
# ImageMagick writes small icon images as bitmaps; as PNG the same pixels
# take a quarter of the bytes.
python3 "$(dirname "$0")/ico_png.py" "$out/icon.ico" "$out/setup.ico"

# Each JPEG again without loss (jpegtran keeps the coefficients, so the
# pixels stay the same): Huffman tables made for the image, no metadata,
# and progressive where that packs smaller (the backgrounds, about 4 %).
for f in "$out"/skin*.jpg; do
    jpegtran -optimize -copy none -outfile "$f.base" "$f"
    jpegtran -optimize -progressive -copy none -outfile "$f.prog" "$f"
    if [ "$(stat -c %s "$f.prog")" -lt "$(stat -c %s "$f.base")" ]; then
        mv "$f.prog" "$f"
    else
        mv "$f.base" "$f"
    fi
    rm -f "$f.base" "$f.prog"
done
rm -f "$out"/start.png "$out"/s*.png "$out/icon.png" "$out/icon.ico"
