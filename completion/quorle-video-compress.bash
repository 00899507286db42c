# bash completion for quorle-video-compress.
#
# The arguments have fixed places: input, output, then either "--profile NAME" or
# "--encoder MODE --profile NAME". Each place is completed with what it may hold.

_quorle_video_compress() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    local profiles="camera-optimized camera-balanced camera-high screen-optimized screen-balanced screen-high camera screen"
    local IFS=$'\n'
    COMPREPLY=()

    case $COMP_CWORD in
        1)
            # The input: any file.
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            ;;
        2)
            # The output: folders to go into, and the names the program writes.
            compopt -o filenames 2>/dev/null
            local extglob_was_off=0
            shopt -q extglob || extglob_was_off=1
            shopt -s extglob
            COMPREPLY=($(compgen -d -- "$cur")
                $(compgen -f -X '!*.@([mM][pP]4|[mM]4[vV]|[mM][oO][vV])' -- "$cur"))
            ((extglob_was_off)) && shopt -u extglob
            ;;
        3)
            COMPREPLY=($(compgen -W $'--encoder\n--profile' -- "$cur"))
            ;;
        4)
            case $prev in
                --encoder) COMPREPLY=($(compgen -W $'hardware\nsoftware' -- "$cur")) ;;
                --profile) COMPREPLY=($(compgen -W "${profiles// /$'\n'}" -- "$cur")) ;;
            esac
            ;;
        5)
            [[ ${COMP_WORDS[3]} == --encoder ]] && COMPREPLY=($(compgen -W --profile -- "$cur"))
            ;;
        6)
            [[ ${COMP_WORDS[3]} == --encoder && $prev == --profile ]] &&
                COMPREPLY=($(compgen -W "${profiles// /$'\n'}" -- "$cur"))
            ;;
    esac
    return 0
}

complete -F _quorle_video_compress quorle-video-compress
