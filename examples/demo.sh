#!/bin/sh
# Builds a self-extracting archive of examples/hello with the kelpa given as
# $1, lists it, and runs it in a temporary directory, showing what it installed.
set -e
kelpa=${1:?usage: sh examples/demo.sh KELPA_BINARY}
case $kelpa in /*) ;; *) kelpa=$(pwd)/$kelpa ;; esac
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelpa-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== packing examples/hello into hello.run"
tar -C "$here/hello" -cf "$work/hello.tar" hello
(cd "$work" && "$kelpa" -C 'Hello 1.0 installer' -f 'tar xf -' -r 'sh hello/install.sh %p/installed' \
    -O 'Kelp Works' -F 'HELLO_CHANNEL=demo' hello.tar > hello.run)
chmod +x "$work/hello.run"
rm "$work/hello.tar"

echo "== hello.run -l"
"$work/hello.run" -l

echo "== running hello.run in $work/run"
mkdir "$work/run"
(cd "$work/run" && ../hello.run)

echo "== installed"
(cd "$work/run" && find . -type f | sort)
echo "== installed/bin/hello"
"$work/run/installed/bin/hello" world
