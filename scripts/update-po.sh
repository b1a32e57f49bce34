#!/usr/bin/env bash
# Gathers every message of the library and the command into po/slotsync.pot
# and brings po/zh_CN.po up to date with it (new messages arrive untranslated,
# changed ones fuzzy: the catalog test fails until they are translated).
# With --pot FILE it only writes the messages to FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

extract() {
  local sources
  mapfile -t sources < <(find src cli -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
  xgettext --language=C++ --from-code=UTF-8 --add-comments=TRANSLATORS: \
    --keyword=Tr --keyword=TrFormat --keyword=TrPlural:1,2 --keyword=N_ \
    --keyword=Say --keyword=SayFormat --keyword=SayPlural:1,2 \
    --flag=TrFormat:1:c-format --flag=TrPlural:1:c-format --flag=TrPlural:2:c-format \
    --flag=SayFormat:1:c-format --flag=SayPlural:1:c-format --flag=SayPlural:2:c-format \
    --package-name=slotsync --msgid-bugs-address=dev@slotsync.invalid --sort-by-file \
    --output="$1" "${sources[@]}"
}

if [[ "${1:-}" == "--pot" ]]; then
  extract "$2"
  exit 0
fi

extract po/slotsync.pot.new
# The creation date alone is no change.
if [[ -f po/slotsync.pot ]] &&
  diff -q <(grep -v '^"POT-Creation-Date' po/slotsync.pot) \
    <(grep -v '^"POT-Creation-Date' po/slotsync.pot.new) >/dev/null; then
  rm po/slotsync.pot.new
else
  mv po/slotsync.pot.new po/slotsync.pot
fi
msgmerge --quiet --update --backup=none --no-fuzzy-matching po/zh_CN.po po/slotsync.pot
