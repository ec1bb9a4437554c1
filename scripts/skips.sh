#!/usr/bin/env bash
# Sums up the test cases that skipped, and why, from a ctest log (QTest's "SKIP   :" lines).
# Skipped is not passed: with CI=true, it fails when a case skipped for something this
# machine can do (the skip messages begin with "needs <what>:", see each check below).
#
#   bash scripts/skips.sh build/Testing/Temporary/LastTest.log [BUILD_DIR]
set -uo pipefail
log=${1:?usage: skips.sh CTEST_LOG [BUILD_DIR]}
dir=${2:-$(dirname "$(dirname "$(dirname "$log")")")}
[ -f "$log" ] || { echo "skips: no ctest log at $log" >&2; exit 1; }

# "reason<TAB>test program" for each skipped case; ctest names the program before its output.
skipped=$(perl -ne '
    $test = $1 if /^\d+\/\d+ Test: (\S+)/;
    print "$2\t$test\n" if /^SKIP\s+: \S+?::\w+\((.*?)\) (.*?)\s*$/;
' "$log")
[ -n "$skipped" ] || { echo "No test case skipped."; exit 0; }

echo
echo "Skipped test cases ($(wc -l <<<"$skipped")), by reason; skipped is not passed:"
cut -f1 <<<"$skipped" | sort | uniq -c | sort -rn | while read -r count reason; do
    programs=$(awk -F'\t' -v r="$reason" '$1 == r { print $2 }' <<<"$skipped" | sort -u | paste -sd, - | sed 's/,/, /g')
    printf '  %4d  %s  [%s]\n' "$count" "$reason" "$programs"
done

[ "${CI:-}" = true ] || exit 0

# What this machine can do, each as the skip prefix it rules out.
can=()
root=false
[ "$(id -u)" -eq 0 ] && root=true && can+=("needs root:")
if $root && ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 && id postgres >/dev/null 2>&1; then
    can+=("needs PostgreSQL:")
fi
if $root && unshare --net true 2>/dev/null; then
    probe=qovi-skips-$$
    if ip netns add "$probe" 2>/dev/null; then
        ip netns exec "$probe" true 2>/dev/null && can+=("needs network namespaces:")
        ip netns delete "$probe" 2>/dev/null
    fi
fi
$root && unshare --mount sh -c 'mount --make-rprivate / && mount -t tmpfs none /mnt' 2>/dev/null &&
    can+=("needs mount namespaces:")
$root && unshare --ipc true 2>/dev/null && can+=("needs IPC namespaces:")
# Someone else than root who can run the test programs from where they were built.
if $root && id nobody >/dev/null 2>&1; then
    program=$(find "$dir/tests" -maxdepth 1 -name 'tst_*' -type f -perm -u+x 2>/dev/null | head -n 1)
    [ -n "$program" ] && setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- test -x "$program" 2>/dev/null &&
        can+=("needs an unprivileged user:")
fi
command -v haproxy >/dev/null && can+=("needs haproxy:")
command -v patroni >/dev/null && python3 -c "import pysyncobj" 2>/dev/null && can+=("needs Patroni")
command -v stunnel4 >/dev/null && can+=("needs stunnel:")
command -v fail2ban-regex >/dev/null && can+=("needs fail2ban:")
command -v Xvfb >/dev/null && can+=("needs a display:")

wrong=0
for prefix in "${can[@]}"; do
    while IFS=$'\t' read -r reason program; do
        echo "CI: $program skipped a case this machine can run: $reason" >&2
        wrong=1
    done < <(awk -F'\t' -v p="$prefix" 'index($1, p) == 1' <<<"$skipped")
done
[ "$wrong" = 0 ] || { echo "CI: fails, skipped cases that this machine can run (see above)" >&2; exit 1; }
echo "CI: every skip is for something this machine cannot do."
