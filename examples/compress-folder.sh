#!/usr/bin/env bash
# Compresses every video under a folder into the same place under another folder, one
# quorle-video-compress job per file, run by GNU parallel on this machine's cores or,
# with --sshloginfile, on several machines. Reports each file as it finishes, keeps a
# log of every file's exit status and sums up the bytes saved.
#
#   compress-folder.sh [options] INPUT_DIR OUTPUT_DIR
#
#   --profile NAME       profile or alias for every file (default: camera)
#   --encoder MODE       hardware or software (default: the tool chooses)
#   --jobs N             jobs at a time on each machine (default: one per core)
#   --sshloginfile FILE  the machines to run on, in GNU parallel's format (":" is this
#                        one). Every machine needs the tool and GNU parallel installed,
#                        and both folders at the same paths (shared storage).
#   --tool PATH          the program to run (default: quorle-video-compress)
#   --log FILE           the per-file log (default: OUTPUT_DIR/compress-folder.log)
#
# Videos are the files whose names end in one of VIDEO_EXTENSIONS below, in any case.
# clip.mov is written as OUTPUT_DIR/clip.mov; a name the tool cannot write gets .mp4
# added: clip.mkv becomes clip.mkv.mp4.
#
# The log is tab-separated, one line per file: exit status (0 written, 1 failed,
# 2 refused, 143 interrupted, - never ran), input bytes, output bytes, machine, file
# (relative to INPUT_DIR) and the tool's failure line.
#
# Exits with 0 when every file was compressed, 1 when any was not, 2 on a bad command
# line and 130 when interrupted (Ctrl-C): running jobs are stopped, and as the tool
# deletes the output of an interrupted job, no half-written file is left behind.
set -uo pipefail

VIDEO_EXTENSIONS=(mp4 m4v mov mkv webm avi wmv flv mpg mpeg ts mts m2ts 3gp ogv)

usage() {
    echo "usage: compress-folder.sh [--profile NAME] [--encoder hardware|software] [--jobs N]" \
        "[--sshloginfile FILE] [--tool PATH] [--log FILE] INPUT_DIR OUTPUT_DIR" >&2
    exit 2
}

# One job: runs on whichever machine GNU parallel picks, and prints one record line:
# sequence number, exit status, input bytes, output bytes, machine, failure line.
compress_one() {
    local seq=$1 file=$2
    local input=$QVC_INPUT_DIR/$file output=$QVC_OUTPUT_DIR/$file
    shopt -s nocasematch
    [[ $file =~ \.(mp4|m4v|mov)$ ]] || output+=.mp4
    shopt -u nocasematch

    # A stopped run sends TERM: the tool then deletes its output and ends with 143,
    # and this job still reports it.
    trap : INT TERM
    local options=()
    [[ -n $QVC_ENCODER ]] && options=(--encoder "$QVC_ENCODER")
    local errors status message
    errors=$(mktemp)
    mkdir -p -- "${output%/*}" 2>/dev/null
    "$QVC_TOOL" "$input" "$output" "${options[@]}" --profile "$QVC_PROFILE" >/dev/null 2>"$errors"
    status=$?
    IFS= read -r message <"$errors"
    rm -f -- "$errors"
    ((status == 127)) && [[ -z $message ]] && message="cannot run $QVC_TOOL"

    local machine=${PARALLEL_SSHHOST:-:}
    [[ $machine == : ]] && machine=$(uname -n)
    local in_bytes out_bytes=0
    in_bytes=$(stat -c %s -- "$input" 2>/dev/null || echo 0)
    ((status == 0)) && out_bytes=$(stat -c %s -- "$output" 2>/dev/null || echo 0)
    # One write, so that records of jobs ending together never mix.
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$seq" "$status" "$in_bytes" "$out_bytes" "$machine" "$message"
    return "$status"
}
export -f compress_one

profile=camera encoder= jobs= sshloginfile= tool=quorle-video-compress log=
while [[ $# -gt 0 ]]; do
    case $1 in
        --profile) [[ $# -ge 2 ]] || usage; profile=$2; shift 2 ;;
        --encoder) [[ $# -ge 2 && ($2 == hardware || $2 == software) ]] || usage; encoder=$2; shift 2 ;;
        --jobs) [[ $# -ge 2 && $2 =~ ^[1-9][0-9]*$ ]] || usage; jobs=$2; shift 2 ;;
        --sshloginfile) [[ $# -ge 2 ]] || usage; sshloginfile=$2; shift 2 ;;
        --tool) [[ $# -ge 2 ]] || usage; tool=$2; shift 2 ;;
        --log) [[ $# -ge 2 ]] || usage; log=$2; shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
[[ $# -eq 2 ]] || usage
command -v parallel >/dev/null || { echo "compress-folder.sh: GNU parallel is not installed" >&2; exit 2; }
input_dir=$(cd -- "$1" 2>/dev/null && pwd) || { echo "compress-folder.sh: no folder $1" >&2; exit 2; }
mkdir -p -- "$2" && output_dir=$(cd -- "$2" && pwd) || { echo "compress-folder.sh: cannot make $2" >&2; exit 2; }
[[ $input_dir != "$output_dir" ]] || { echo "compress-folder.sh: the two folders must differ" >&2; exit 2; }
[[ -z $sshloginfile || -r $sshloginfile ]] || { echo "compress-folder.sh: cannot read $sshloginfile" >&2; exit 2; }
log=${log:-$output_dir/compress-folder.log}

# The videos, relative to the input folder, in name order; an output folder inside
# the input folder is left out, so earlier results are not taken for sources.
name_tests=()
for extension in "${VIDEO_EXTENSIONS[@]}"; do
    name_tests+=(${name_tests:+-o} -iname "*.$extension")
done
files=()
while IFS= read -r -d '' file; do
    files+=("${file#./}")
done < <(cd -- "$input_dir" && find . -path "./${output_dir#"$input_dir"/}" -prune -o \
    -type f ! -name '.*' \( "${name_tests[@]}" \) -print0 | sort -z)
if [[ ${#files[@]} -eq 0 ]]; then
    echo "no videos under $input_dir"
    exit 0
fi

export QVC_INPUT_DIR=$input_dir QVC_OUTPUT_DIR=$output_dir QVC_TOOL=$tool QVC_PROFILE=$profile QVC_ENCODER=$encoder
run_options=(--ungroup --termseq TERM,10000,KILL,25)
[[ -n $jobs ]] && run_options+=(--jobs "$jobs")
if [[ -n $sshloginfile ]]; then
    run_options+=(--sshloginfile "$sshloginfile"
        --env compress_one --env QVC_INPUT_DIR --env QVC_OUTPUT_DIR --env QVC_TOOL --env QVC_PROFILE --env QVC_ENCODER)
fi

# --ungroup passes each job's record on as soon as it is written (GNU parallel would
# otherwise drop the output of jobs it stops); TERM gives the tool time to clean up.
list=$(mktemp)
trap 'rm -f -- "$list"' EXIT
printf '%s\0' "${files[@]}" >"$list"
exec {records}< <(exec parallel -0 "${run_options[@]}" compress_one '{#}' '{}' :::: "$list")
runner=$!
interrupted=0
trap 'interrupted=1; kill -TERM "$runner" 2>/dev/null' INT TERM

printf 'status\tinput_bytes\toutput_bytes\tmachine\tfile\tmessage\n' >"$log"
declare -A reported=()
compressed=0 failed=0 unfinished=0 bytes_in=0 bytes_out=0
record() {  # status in_bytes out_bytes machine file message
    local name=${5//$'\t'/\\t}
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "${name//$'\n'/\\n}" "$6" >>"$log"
    case $1 in
        0)
            compressed=$((compressed + 1)) bytes_in=$((bytes_in + $2)) bytes_out=$((bytes_out + $3))
            printf 'ok       %s  %s -> %s bytes\n' "$5" "$2" "$3" ;;
        143 | -)
            unfinished=$((unfinished + 1))
            printf 'stopped  %s%s\n' "$5" "${6:+  ($6)}" ;;
        *)
            failed=$((failed + 1))
            printf 'FAILED   %s  status %s%s\n' "$5" "$1" "${6:+: $6}" ;;
    esac
}
while true; do
    if IFS=$'\t' read -r seq status in_bytes out_bytes machine message <&"$records"; then
        [[ $seq =~ ^[0-9]+$ && $seq -ge 1 && $seq -le ${#files[@]} && -z ${reported[$seq]:-} ]] || continue
        reported[$seq]=1
        record "$status" "$in_bytes" "$out_bytes" "$machine" "${files[seq - 1]}" "$message"
    elif (($? > 128)); then
        continue  # a signal broke the read; the stopped jobs still report
    else
        break
    fi
done
wait "$runner" 2>/dev/null

# Files without a record never ran to the end: stopped, or their machine was not reached.
for ((seq = 1; seq <= ${#files[@]}; seq++)); do
    [[ -n ${reported[$seq]:-} ]] && continue
    record - - - - "${files[seq - 1]}" "$( ((interrupted)) && echo "not run: interrupted" || echo "not run")"
done

echo "${#files[@]} files: $compressed compressed, $failed failed, $unfinished not finished"
if ((compressed > 0)); then
    awk -v i="$bytes_in" -v o="$bytes_out" 'BEGIN {
        printf "compressed files: %d bytes -> %d bytes, %d bytes saved (%.1f%%)\n", i, o, i - o, i ? 100 * (i - o) / i : 0
    }'
fi
echo "log: $log"
((interrupted)) && exit 130
((failed + unfinished == 0))
