#!/usr/bin/env bash
# The message catalog is whole: po/slotsync.pot holds the messages the sources
# have now, po/zh_CN.po translates every one of them with the same arguments
# (nothing untranslated or fuzzy), and no message of the sources escapes the
# catalog. usage: check_catalog.sh SOURCE_DIR
set -euo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$root"
status=0

scripts/update-po.sh --pot "$work/now.pot"
# Both ways: no message missing from the template, none left over in it.
if ! msgcmp --use-untranslated po/slotsync.pot "$work/now.pot" 2>"$work/missing" ||
  ! msgcmp --use-untranslated "$work/now.pot" po/slotsync.pot 2>>"$work/missing"; then
  cat "$work/missing" >&2
  echo "FAILED: po/slotsync.pot is out of date: run scripts/update-po.sh" >&2
  status=1
fi
if ! msgcmp po/zh_CN.po "$work/now.pot" 2>"$work/untranslated"; then
  cat "$work/untranslated" >&2
  echo "FAILED: po/zh_CN.po lacks a translation (or has a fuzzy one)" >&2
  status=1
fi
# Same arguments in every translation, and a sound header.
msgfmt --check --statistics -o /dev/null po/zh_CN.po 2>"$work/statistics" || status=1
cat "$work/statistics"
if grep -Eq 'untranslated|fuzzy' "$work/statistics"; then
  echo "FAILED: po/zh_CN.po has untranslated or fuzzy messages" >&2
  status=1
fi
python3 tests/messages/scan_literals.py . || status=1
exit $status
