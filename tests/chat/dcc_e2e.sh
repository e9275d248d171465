#!/usr/bin/env bash
# Two instances of the program (each with its own DIALWISE_HOME) on one ngircd on
# loopback, under a private Xvfb. The first offers a 20 MB file of random bytes to the
# second by typing "/dcc send NAME" into its chat input line; the second accepts (the
# question and the save dialog answered through DIALWISE_DIALOGS=auto and
# DIALWISE_DIALOG_FILE), and the file it keeps must be byte-identical.
#   dcc_e2e.sh PATH_OF_THE_PROGRAM
set -u
program=$1
e2e_name=dcc-e2e
. "$(dirname "$0")/../support/e2e.sh"
ngircd_bin=$(command -v ngircd || { [ -x /usr/sbin/ngircd ] && echo /usr/sbin/ngircd; })
[ -n "$ngircd_bin" ] || missing ngircd ngircd
command -v Xvfb >/dev/null || missing Xvfb xvfb
command -v xdotool >/dev/null || missing xdotool xdotool
command -v import >/dev/null || missing import imagemagick

e2e_tmpdir 777 # ngircd drops to user nobody and writes its pid file here

# --- the chat server
irc_port=$(free_port)
cat >"$tmp/ngircd.conf" <<EOF
[Global]
Name = irc.test
Info = test server
Listen = 127.0.0.1
Ports = $irc_port
PidFile = $tmp/ngircd.pid
MotdPhrase = hello
[Limits]
MaxNickLength = 30
MaxJoins = 0
MaxPenaltyTime = 0
[Options]
PAM = no
Ident = no
DNS = no
EOF
"$ngircd_bin" -n -f "$tmp/ngircd.conf" >"$tmp/ngircd.log" 2>&1 &
pids+=($!)
wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$irc_port" 2>/dev/null || fail "ngircd does not listen"

# The nicks in the program's channel, "@" first for the one who opened it.
names() {
    local line out=""
    exec 5<>"/dev/tcp/127.0.0.1/$irc_port" || return 1
    printf 'NICK watcher%s\r\nUSER w 0 * :w\r\n' "$RANDOM" >&5
    while IFS= read -r -t 10 line <&5; do
        case "$line" in
        *" 001 "*) printf 'NAMES\r\n' >&5 ;;
        *" 353 "*"#"*) out="$out ${line##*:}" ;;
        *" 366 "*) break ;;
        esac
    done
    printf 'QUIT\r\n' >&5
    exec 5>&-
    echo "$out" | tr -d '\r' | tr ' ' '\n' | grep -v '^watcher' | grep -v '^$' | sort
}

# --- the display
e2e_xvfb

# --- the two programs
head -c 20000000 /dev/urandom >"$tmp/offered.bin"
mkdir -p "$tmp/got"
list_port=$(free_port) # nobody answers there: no station list
start() { # name, file the dialogs answer
    mkdir -p "$tmp/home-$1"
    env QT_QPA_PLATFORM=xcb DIALWISE_HOME="$tmp/home-$1" DIALWISE_DEBUGLOG="$tmp/$1.log" \
        DIALWISE_DIALOGS=auto DIALWISE_DIALOG_FILE="$2" DIALWISE_NO_BROWSER=1 \
        DIALWISE_FREE_RESOURCES=100,100,100 DIALWISE_LIST_HOST="127.0.0.1:$list_port" \
        DIALWISE_CHAT_HOST="127.0.0.1:$irc_port" "$program" >"$tmp/$1.out" 2>&1 &
    echo $!
}
count_names() { [ "$(names | wc -l)" -ge "$1" ]; }

sender_pid=$(start sender "$tmp/offered.bin")
pids+=("$sender_pid")
wait_for 120 count_names 1 || fail "the first program did not join the chat: $(tail -n 5 "$tmp/sender.out")"
sender_nick=$(names | head -1 | tr -d '@+')
receiver_pid=$(start receiver "$tmp/got/offered.bin")
pids+=("$receiver_pid")
wait_for 120 count_names 2 || fail "the second program did not join the chat: $(tail -n 5 "$tmp/receiver.out")"
receiver_nick=$(names | tr -d '@+' | grep -vx "$sender_nick" | head -1)
[ -n "$receiver_nick" ] || fail "no second nick in the channel: $(names)"
echo "sender $sender_nick, receiver $receiver_nick, display $DISPLAY"

# The sender's main window on top, at the left; the receiver's moved aside.
window_of() { xdotool search --all --pid "$1" --name '^Dialwise$' 2>/dev/null | head -1; }
wait_for 60 test -n "$(window_of "$receiver_pid")" || fail "no window of the second program"
xdotool windowmove "$(window_of "$receiver_pid")" 300 324
win=$(window_of "$sender_pid")
[ -n "$win" ] || fail "no window of the first program"
xdotool windowmove "$win" 0 0
xdotool windowraise "$win"
sleep 1
# The chat input line runs along the bottom of the chat page, above the status bar.
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((WIDTH / 5)) $((HEIGHT - 37)) click 1
sleep 0.5
xdotool type --delay 30 "/dcc send $receiver_nick"
xdotool key Return

wait_for "${DCC_E2E_WAIT:-240}" test -f "$tmp/got/offered.bin" ||
    fail "nothing received: $(ls -l "$tmp/got"; tail -n 5 "$tmp/sender.out" "$tmp/receiver.out")"
[ -n "${DCC_E2E_SHOT:-}" ] && import -window root "$DCC_E2E_SHOT"
cmp "$tmp/offered.bin" "$tmp/got/offered.bin" || fail "the received file differs"
grep -q "Do NOT accept files from someone you do not trust" "$tmp/receiver.out" ||
    fail "the receiver was not asked"
echo "PASS: 20000000 bytes from $sender_nick to $receiver_nick, identical"
