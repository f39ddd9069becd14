#!/usr/bin/env bash
# Runs the lyrx tool as a user does, over a folder of small files made here,
# and checks its exit statuses, its output and its explanations.
# usage: test_tool.sh [EMULATOR] LYRX   (EMULATOR: wine, for the Windows build)
set -u
lyrx=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p songs/A songs/b empty
printf '[ti:Song]\n[00:01.00]Hello\n[00:04.50]World\n' >utf8.lrc
printf '[00:01.00]\xc4\xe3\xba\xc3\n' >gbk.lrc # "你好" in GBK
printf '[00:01:00]one\n[00:02:00]two\n' >colons.lrc
printf '[00:01.00]one\r\n\xef\xbb\xbf[00:02.00]two\r\n[00:03.00]three\r\n' >joined.lrc
printf 'just words\n' >plain.lrc
printf '[ti:x]\n[00:01.00 a\n' >unclosed.lrc
printf '[00:01.00]\xff\xff\n' >notgbk.lrc
printf '[00:01]x\n' >-dash.lrc
: >empty.lrc
{ printf '\xff\xfe'; printf '[00:01.00]Hi\n' | iconv -f UTF-8 -t UTF-16LE; } >utf16.lrc
printf '[offset:1500]\n[00:01.00]Hello\n[00:04.50] World \n[00:06.00]\n[00:08.00]<00:08.00>a & <b><00:09.00> c\n' >srt.lrc
for f in A/1.LRC a.lrc b/2.lrc b/a.lrc b-c.lrc café.lrc; do printf '[00:01]%s\n' "$f" >"songs/$f"; done
printf 'not lyrics\n' >songs/notes.txt

# exit status | arguments | stdout holds | stderr holds
while IFS='|' read -r want args out_has err_has; do
  [ -n "${want// /}" ] || continue
  read -r -a argv <<<"$args"
  out_has=$(echo "$out_has" | sed 's/^ *//;s/ *$//')
  err_has=$(echo "$err_has" | sed 's/^ *//;s/ *$//')
  "${lyrx[@]}" "${argv[@]}" >stdout 2>stderr
  got=$?
  [ "$got" = "${want// /}" ] || fail "lyrx $args: exit status $got, not $want"
  [ -z "$out_has" ] || grep -qF -- "$out_has" stdout || fail "lyrx $args: stdout lacks '$out_has': $(head -c 400 stdout)"
  [ -z "$err_has" ] || grep -qF -- "$err_has" stderr || fail "lyrx $args: stderr lacks '$err_has': $(cat stderr)"
done <<'EOF'
0 | utf8.lrc                          | 00:01.000 -> 00:04.500  Hello |
0 | songs/café.lrc                    | 00:01.000 -> 00:04.000  café.lrc |
1 | gbk.lrc                           | lines: 1                      | gbk.lrc:1:11: byte 0xC4 is not UTF-8
1 | --json gbk.lrc                    |                               | try --from-encoding
1 | --check gbk.lrc                   | not-utf8                      | no JSON text can be made
0 | --from-encoding GBK gbk.lrc       | 你好                          |
0 | --json --from-encoding=gbk gbk.lrc | "text":"你好"                 |
0 | --from-encoding GBK songs/café.lrc | 04.000  café.lrc              |
1 | --check empty                     |                               | empty: no *.lrc file
1 | colons.lrc                        | lines: 0                      | colons.lrc:1: [00:01:00] is shaped like [mm:ss:xx]
1 | --json colons.lrc                 | "status":1                    | 2 such tags, the first here
0 | joined.lrc                        | 00:03.000 -> 00:06.000  three | joined.lrc:2: a UTF-8 byte-order mark
0 | --from-encoding GBK utf16.lrc     | 00:01.000 -> 00:04.000  Hi    |
1 | --from-encoding GBK notgbk.lrc    |                               | notgbk.lrc: not valid GBK
1 | unclosed.lrc                      | status: 2                     | unclosed.lrc:2: this line's tag is not closed
1 | empty.lrc                         | status: 2                     | no lyric lines: empty input
0 | -- -dash.lrc                      | == -dash.lrc                  |
1 | plain.lrc                         |                               | no line starts with a tag
1 | --json plain.lrc                  | "status":1                    | no line starts with a tag
1 | missing.lrc                       |                               | missing.lrc: cannot read
1 | --check utf8.lrc plain.lrc        | no-lines        0    1  plain.lrc | 2 files, 2 lines, 1 warnings, 1 failed
1 | --to srt -o dup songs/a.lrc songs/b/a.lrc |                       | was already written for another input
0 | --detect utf8.lrc                 | utf8.lrc: LRC                 |
1 | --detect plain.lrc                | plain.lrc: not LRC            |
2 | --to txt utf8.lrc                 |                               | --to takes srt or vtt
2 | --to srt utf8.lrc joined.lrc      |                               | add -o DIR
2 | --from-encoding NOPE utf8.lrc     |                               | unknown encoding NOPE
2 | -o out utf8.lrc                   |                               | -o goes with --json or --to
2 | --json --check utf8.lrc           |                               | choose one of
2 | --bogus utf8.lrc                  |                               | unknown option --bogus
2 |                                   |                               | no FILE given
0 | --version                         | lyrx                          |
EOF

# Directories: *.lrc in any letter case, in byte order of the path.
"${lyrx[@]}" --check songs >stdout 2>/dev/null || fail "--check songs: exit status $?"
got=$(awk '{print $4}' stdout | tr '\\' / | tr '\n' ' ')
want="songs/A/1.LRC songs/a.lrc songs/b-c.lrc songs/b/2.lrc songs/b/a.lrc songs/café.lrc "
[ "$got" = "$want" ] || fail "--check songs lists '$got', not '$want'"
"${lyrx[@]}" --json songs utf8.lrc >stdout || fail "--json songs utf8.lrc: exit status $?"
[ "$(grep -c '^{"status":0,.*}$' stdout)" = 7 ] && [ "$(wc -l <stdout)" -eq 7 ] ||
  fail "--json over 7 files: not one JSON line each: $(cat stdout)"
"${lyrx[@]}" --json - <utf8.lrc | grep -qF '"ti":"Song"' || fail "--json - does not read standard input"

# Subtitles: offset applied, a negative start made 0, word times dropped, text
# trimmed, the blank line left out but still ending the line before it.
"${lyrx[@]}" --to srt srt.lrc >got.srt || fail "--to srt: exit status $?"
printf '1\n00:00:00,000 --> 00:00:03,000\nHello\n\n2\n00:00:03,000 --> 00:00:04,500\nWorld\n\n3\n00:00:06,500 --> 00:00:09,500\na & <b> c\n\n' >want.srt
cmp -s got.srt want.srt || fail "--to srt wrote: $(cat got.srt)"
"${lyrx[@]}" --to vtt -o subs songs srt.lrc || fail "--to vtt -o subs: exit status $?"
for f in A/1 a b-c b/2 b/a café srt; do [ -f "subs/$f.vtt" ] || fail "--to vtt -o subs did not write subs/$f.vtt"; done
[ "$(head -n 4 subs/srt.vtt | tr '\n' '|')" = "WEBVTT||00:00:00.000 --> 00:00:03.000|Hello|" ] &&
  grep -qxF 'a &amp; &lt;b&gt; c' subs/srt.vtt || fail "--to vtt wrote: $(cat subs/srt.vtt)"

[ "$failures" = 0 ] && echo "test_tool: all passed" && exit 0
echo "test_tool: $failures failed"
exit 1
