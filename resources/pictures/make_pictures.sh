#!/bin/sh
# Redraws the program's pictures (ImageMagick and the DejaVu fonts). The JPEG files are kept
# in the tree; run this only to change them.
set -e
cd "$(dirname "$0")"
F=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
FR=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

# Main window logo, 177 x 73: emblem and product name.
convert -size 177x73 xc:white \
  -fill '#1f4e9c' -draw "roundrectangle 4,6 56,66 8,8" \
  -fill white -draw "polygon 22,18 38,18 38,36 47,36 30,56 13,36 22,36" \
  -font $F -pointsize 22 -fill '#1f4e9c' -annotate +62+34 'Quodra' \
  -font $FR -pointsize 13 -fill '#555555' -annotate +63+54 'FTP Client' \
  -quality 92 quodra_logo.jpg

# Main window emblem, 41 x 35.
convert -size 41x35 xc:white \
  -fill '#e08a1e' -draw "circle 20,17 20,2" \
  -fill white -draw "polygon 16,7 24,7 24,17 30,17 20,29 10,17 16,17" \
  -quality 92 quodra_emblem.jpg

# Maker's logo in the about box, 105 x 33.
convert -size 105x33 xc:'#2b2b2b' \
  -fill '#e08a1e' -draw "rectangle 0,30 105,33" -draw "rectangle 5,5 9,25" \
  -font $F -pointsize 12 -fill white -annotate +14+16 'Quodra' \
  -font $FR -pointsize 7 -fill '#cfcfcf' -annotate +14+26 'S O F T W A R E' \
  -quality 92 maker_logo.jpg

# Information page of the properties dialog, 105 x 105: server, download, local disk.
convert -size 105x105 xc:white \
  -fill '#dfe8f6' -stroke '#1f4e9c' -strokewidth 2 -draw "roundrectangle 8,6 48,44 5,5" \
  -stroke none -fill '#1f4e9c' -draw "rectangle 15,14 41,18" -draw "rectangle 15,24 41,28" \
  -draw "rectangle 15,34 41,38" \
  -fill '#e08a1e' -draw "polygon 52,40 62,40 62,52 70,52 57,66 44,52 52,52" \
  -fill '#dfe8f6' -stroke '#1f4e9c' -strokewidth 2 -draw "roundrectangle 56,68 98,98 5,5" \
  -stroke none -fill '#1f4e9c' -draw "circle 77,83 77,75" -fill white -draw "circle 77,83 77,81" \
  -font $F -pointsize 10 -fill '#555555' -annotate +60+20 'FTP' -annotate +60+34 'TFTP' \
  -quality 92 info_picture.jpg
