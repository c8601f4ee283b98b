#!/bin/sh
# Every PPD is what ppd/generate.py writes, passes cupstestppd, and its pages are exactly as
# wide as its filter prints (384 dots, or tessoral's fixed 1638-dot page), at 203 dpi.
# Usage: check-ppds.sh SOURCE_DIR FILTER_DIR
set -eu
source_dir=$1
filter_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/generated"
python3 "$source_dir/ppd/generate.py" "$work/generated"
diff -r -x generate.py "$source_dir/ppd" "$work/generated" || {
  echo "ppd/ differs from what ppd/generate.py writes"; exit 1; }

# cupstestppd checks the filters under a root of their install paths.
mkdir -p "$work/root/usr/lib/cups/filter"
ln -s "$filter_dir/vellumar" "$filter_dir/tessoral" "$work/root/usr/lib/cups/filter/"

status=0
for ppd in "$source_dir"/ppd/*.ppd; do
  cupstestppd -q -R "$work/root" "$ppd" || { cupstestppd -R "$work/root" "$ppd"; status=1; }
  filter=$(sed -n 's/^\*cupsFilter2: ".* \([a-z]*\)"$/\1/p' "$ppd")
  case $filter in
    vellumar) widths=384 ;;
    tessoral) widths="384 1638" ;;
    *) echo "$ppd: no filter of ours"; status=1; continue ;;
  esac
  for dots in $(sed -n 's/^\*ImageableArea [^:]*: "0 0 \([0-9.]*\) [0-9.]*"$/\1/p' "$ppd" |
                awk '{ printf "%d\n", $1 * 203 / 72 + 0.5 }'); do
    case " $widths " in
      *" $dots "*) ;;
      *) echo "$ppd: a page $dots dots wide, $filter prints $widths"; status=1 ;;
    esac
  done
  grep -q '^\*cupsManualCopies: True$' "$ppd" || { echo "$ppd: no manual copies"; status=1; }
done
exit $status
