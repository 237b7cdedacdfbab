#!/usr/bin/env bash
# Completions for each position of a korvane, fsck.korvane and korvanefs line, against an
# image holding names with blanks and shell characters. Usage: $0 KORVANE COMPLETION_FOLDER
set -u
k=$(realpath "$1") && . "$2/fsck.korvane" && . "$2/korvanefs" || exit 1
cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT || exit 1
compopt() { options+=" $*"; }
failed=0

# expect FUNCTION CURSOR WORD... :: WANTED...: word CURSOR completes to exactly WANTED.
expect() {
  local function=$1 got want
  COMP_CWORD=$2 COMP_WORDS=() COMPREPLY=() options=
  shift 2
  while [[ $1 != :: ]]; do COMP_WORDS+=("$1") && shift; done
  shift && "$function"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort) want=$(printf '%s\n' "$@" | sort)
  [[ $got == "$want" ]] && return
  echo "FAIL: ${COMP_WORDS[*]} (word $COMP_CWORD): got [${got//$'\n'/|}]"
  failed=1
}

"$k" -c -s 64 -o 'my d.img' >/dev/null && "$k" -c >/dev/null && touch -- f -x.img && mkdir 'sub dir'
for name in 'two words' 'a$b&c' 'two  blanks ' '-e' "it's"; do "$k" -o 'my d.img' -w "$name" f; done
"$k" -w only f && files=('my d.img' f -x.img 'sub dir' out.img)

# switches: each operation once, -s only after -c
expect _korvane 1 "$k" - :: -c -d -m -f -w -r -e -o -h
expect _korvane 2 "$k" -c '' :: -s -o -h
expect _korvane 3 "$k" -o x - -f :: -o -h
expect _korvane 2 "$k" -c -s :: -s
# host paths and images, quoted as typed
expect _korvane 2 "$k" -o "'my" :: 'my d.img'
expect _korvane 2 "$k" -w '' ::
expect _korvane 3 "$k" -w name '' :: "${files[@]}"
expect _korvane 2 "$k" -r "\"sub" :: 'sub dir'
expect _korvane 3 "$k" -c -s '' ::
# stored names of the image -o names, wherever it stands, else out.img
expect _korvane 3 "$k" -r copy '' -o 'my\ d.img' :: 'two\ words' 'a\$b\&c' 'two\ \ blanks\ ' -e "it\\'s"
expect _korvane 4 "$k" -o '"my d.img"' -e 'a\$b\&' :: 'a\$b\&c'
expect _korvane 4 "$k" -o "my' d'.img" -e "it\\'" :: "it\\'s"
expect _korvane 2 "$k" -e '' :: only
# inside a quote typed, bash quotes them itself
expect _korvane 4 "$k" -o "'my d.img'" -e "'two " :: 'two words' 'two  blanks '
[[ $options == *filenames* ]] || { echo "FAIL: stored names go unquoted" && failed=1; }
# a value is never a switch: -e here is a stored name, then the host path
expect _korvane 5 "$k" -o 'my d.img' -w -e '' :: "${files[@]}"
expect _korvane 3 "$k" -o -e '' :: -c -d -m -f -w -r -e -o -h

expect _fsck_korvane 1 fsck.korvane - :: -n -y -p -a -f -h --
expect _fsck_korvane 2 fsck.korvane -y 'my' :: 'my d.img'
expect _fsck_korvane 2 fsck.korvane -- - :: -x.img
expect _fsck_korvane 2 fsck.korvane f '' ::

expect _korvanefs 1 korvanefs - :: -f -d -s -o -h --help -V --version
expect _korvanefs 2 korvanefs -o '' ::
expect _korvanefs 3 korvanefs -o ro '' :: "${files[@]}"
expect _korvanefs 2 korvanefs 'my d.img' '' :: 'sub dir'
exit $failed
