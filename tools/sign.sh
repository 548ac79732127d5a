#!/bin/sh
# Authenticode signing of the wrapper, and the detached signature that lets anyone rebuild
# the signed file from the source without the key.
#   sign.sh sign EXE SIGNED_EXE SIGNATURE [PAYLOAD32 PAYLOAD64]
#   sign.sh attach SIGNATURE EXE SIGNED_EXE [PAYLOAD32 PAYLOAD64]
# PAYLOAD32 and PAYLOAD64 name the payloads EXE is pinned to; empty or not given: a plain build.
# The detached signature is PEM, followed by a line that says which build it was made for, so
# that attaching it to another kind of build can say what to give instead.
# sign takes the certificate and key from the environment, one of three ways:
#   SIGN_CERT (PEM chain, signer first) with SIGN_KEY (PEM key);
#   SIGN_PKCS12 (certificate, chain and key in one file);
#   a key on a token: SIGN_PKCS11_MODULE (the token's PKCS#11 library), SIGN_KEY the key's
#   pkcs11: URI (RFC 7512), SIGN_CERT the PEM chain or the certificate's pkcs11: URI.
# A key file's password or the token's PIN is read from a file, SIGN_PASSWORD_FILE or
# SIGN_PIN_FILE, never from a command line or the environment. With a key on a token,
# osslsigncode lays the signatures out with a stand-in key, and pkcs11_key.py, through the
# token's module, checks the key and signs them all anew in one login, none after a wrong PIN;
# osslsigncode then attaches them and has them timestamped.
# Optional: SIGN_URL (information URL), SIGN_TIMESTAMP_URL (RFC 3161 server, for each signature),
# SIGN_DIGESTS: sha1,sha256 (the default: a SHA-1 signature with a SHA-256 one nested in it, for
# XP SP3 and Vista, which read the first alone, as for later systems) or sha256 (one signature).
# sign first removes the SIGNED_EXE and SIGNATURE of an earlier run, so that none of another
# build is left. On failure: one line on stderr, exit 1, and no output written.
set -eu

me=sign.sh
here=$(cd "$(dirname "$0")" && pwd)
tmp="" signed="" signature=""
cleanup() {
    [ -z "$tmp" ] || rm -rf "$tmp"
    [ -z "$signed" ] || rm -f "$signed.part.$$"
    [ -z "$signature" ] || rm -f "$signature.part.$$"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "$me: $*" >&2
    exit 1
}

need_file() { # VARIABLE-NAME PATH
    [ -n "$2" ] || fail "$1 is not set"
    if [ ! -f "$2" ] || [ ! -r "$2" ]; then fail "$1: cannot read $2"; fi
}

# osslsigncode's own first complaint, without the OpenSSL error stack that follows it.
first_complaint() {
    grep -v -E '^[0-9A-F]+:error:|^Failed$|^Connecting to |^PE checksum|^Engine ".*" set\.$|^$' \
        "$1" | head -n 1
}

# Warns when a file holding a password or a PIN can be read by others than its owner.
warn_if_readable() { # VARIABLE-NAME PATH
    [ -z "$(find "$2" -maxdepth 0 -perm /044 2>/dev/null)" ] ||
        echo "$me: warning: $1: others can read $2 (chmod 600 $2)" >&2
}

# The digests of the signatures, in the order they are made: the first is the primary.
signature_digests() {
    case ${SIGN_DIGESTS:-sha1,sha256} in
    sha1,sha256) echo "sha1 sha256" ;;
    sha256) echo "sha256" ;;
    *) fail "SIGN_DIGESTS=$SIGN_DIGESTS: give sha1,sha256 (a SHA-1 signature, SHA-256 nested:" \
        "XP SP3 to 11) or sha256 (one signature: 7 with its SHA-2 updates and later)" ;;
    esac
}

# A PEM key that osslsigncode would ask a password for, or that is not the certificate's, is
# refused here in our words: osslsigncode's own are a prompt nobody answers, or obscure.
check_pem_key() { # CERT KEY [PASSWORD_FILE]
    if [ -z "${3:-}" ] && grep -q -E -e '-BEGIN ENCRYPTED PRIVATE KEY-|^Proc-Type: 4,ENCRYPTED' "$2"
    then
        fail "SIGN_KEY: $2 is encrypted: name the file that holds its password as SIGN_PASSWORD_FILE"
    fi
    set -- "$1" "$2" ${3:+-passin "file:$3"}
    openssl x509 -in "$1" -pubkey -noout 2>/dev/null >"$tmp/cert-key.pem" || return 0
    openssl pkey -pubin -in "$tmp/cert-key.pem" -outform DER -out "$tmp/cert-key.der" \
        2>/dev/null || return 0
    key=$2
    shift 2
    if ! openssl pkey -in "$key" "$@" -pubout -outform DER -out "$tmp/key.der" </dev/null \
        >/dev/null 2>&1; then
        [ $# -eq 0 ] || fail "SIGN_KEY: cannot read $key with the password in SIGN_PASSWORD_FILE"
        return 0 # not a key openssl reads: osslsigncode says what it makes of it
    fi
    cmp -s "$tmp/cert-key.der" "$tmp/key.der" ||
        fail "the certificate in SIGN_CERT is not for the key in $key: their public keys differ"
}

# Whether a PKCS#11 variable is given: then the key is on a token.
token_given() {
    case ${SIGN_KEY:-}:${SIGN_CERT:-} in pkcs11:* | *:pkcs11:*) return 0 ;; esac
    [ -n "${SIGN_PKCS11_MODULE:-}${SIGN_PIN_FILE:-}" ]
}

# The variables of a key on a token, each checked; sets module and pin_file.
check_token_variables() {
    [ -z "${SIGN_PKCS12:-}" ] || fail "name SIGN_PKCS12, or a key on a token, not both"
    [ -n "${SIGN_PKCS11_MODULE:-}" ] ||
        fail "a key on a token needs SIGN_PKCS11_MODULE, the token's PKCS#11 library"
    need_file SIGN_PKCS11_MODULE "$SIGN_PKCS11_MODULE"
    # A bare name would be looked for in the system's library folders, not here.
    module=$SIGN_PKCS11_MODULE
    case $module in /*) ;; *) module=$PWD/$module ;; esac
    case ${SIGN_KEY:-}${SIGN_CERT:-} in *pin-value=* | *pin-source=*)
        fail "a pkcs11: URI holds a PIN, where command lines show it: put the PIN in a file" \
            "and name it SIGN_PIN_FILE" ;;
    esac
    case ${SIGN_KEY:-} in
    pkcs11:*) ;;
    *) fail "with SIGN_PKCS11_MODULE, SIGN_KEY is the key's pkcs11: URI (pkcs11:token=...;object=...)" ;;
    esac
    [ -n "${SIGN_CERT:-}" ] ||
        fail "SIGN_CERT is not set: the certificate chain (PEM), or the certificate's pkcs11: URI"
    case $SIGN_CERT in pkcs11:*) ;; *) need_file SIGN_CERT "$SIGN_CERT" ;; esac
    pin_file=${SIGN_PIN_FILE:-} pin_name=SIGN_PIN_FILE
    if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
        [ -z "$pin_file" ] || fail "give the PIN's file as SIGN_PIN_FILE or SIGN_PASSWORD_FILE, not both"
        pin_file=$SIGN_PASSWORD_FILE pin_name=SIGN_PASSWORD_FILE
    fi
    [ -z "$pin_file" ] || need_file "$pin_name" "$pin_file"
}

# Replaces the stand-in's signatures in SIGNED by the token's key's, made in one login, then
# has each timestamped; sets key_line to what the key is.
sign_on_token() { # EXE SIGNED DIGESTS
    certs=$SIGN_CERT
    case $SIGN_CERT in pkcs11:*) certs=$tmp/certificate.pem ;; esac
    osslsigncode extract-signature -in "$2" -out "$tmp/template.p7" >"$tmp/extract.log" 2>&1 ||
        fail "cannot extract the stand-in's signature: $(first_complaint "$tmp/extract.log")"
    # Its line on stdout; what the module itself says, to a log.
    /usr/bin/python3 "$here/pkcs11_key.py" "$module" "$SIGN_KEY" "$SIGN_CERT" "$pin_file" \
        "$certs" "$tmp/template.p7" "$tmp/token.p7" </dev/null >"$tmp/key.out" 2>"$tmp/key.log" ||
        fail "$(cat "$tmp/key.out" "$tmp/key.log" | grep . | head -n 1)"
    key_line=$(cat "$tmp/key.out")
    rm -f "$2"
    osslsigncode attach-signature -sigin "$tmp/token.p7" -in "$1" -out "$2" \
        >"$tmp/attach.log" 2>&1 || [ -s "$2" ] ||
        fail "cannot attach the token's signature: $(first_complaint "$tmp/attach.log")"
    [ -n "${SIGN_TIMESTAMP_URL:-}" ] || return 0
    index=0
    for digest in $3; do
        osslsigncode add -ts "$SIGN_TIMESTAMP_URL" -index "$index" -in "$2" -out "$2.stamped" \
            >"$tmp/stamp.log" 2>&1 ||
            fail "cannot timestamp the $digest signature: $(first_complaint "$tmp/stamp.log")"
        mv "$2.stamped" "$2"
        index=$((index + 1))
    done
}

# What kind of build this is, as the signature's last line and the messages say it.
describe_build() { # [PAYLOAD32 PAYLOAD64]
    if [ -z "${1:-}${2:-}" ]; then
        echo "a plain build"
        return
    fi
    need_file PAYLOAD32 "$1"
    need_file PAYLOAD64 "$2"
    set -- "$(sha256sum <"$1")" "$(sha256sum <"$2")"
    echo "a build pinned to VuqSetup.wzq (SHA-256 ${1%% *}) and VuqSetup64.wzq (SHA-256 ${2%% *})"
}

# Why a signature that does not fit this build may not: what it says it was made for.
mismatch_hint() { # SIGNATURE
    made_for=$(sed -n 's/^For: //p' "$1" 2>/dev/null | head -n 1)
    case $made_for:$build in
    "":*) echo "build it from the commit and with the toolchain it was signed from" ;;
    "a build pinned"*:"a plain build")
        echo "it was made for $made_for: give make attach the files with those digests as PAYLOAD32= and PAYLOAD64=" ;;
    "a plain build":*) echo "it was made for a plain build: give no PAYLOAD32 or PAYLOAD64" ;;
    *) if [ "$made_for" = "$build" ]; then
           echo "build it from the commit and with the toolchain it was signed from"
       else
           echo "it was made for $made_for"
       fi ;;
    esac
}

# Attaches SIGNATURE to EXE as OUT, and refuses unless the signature was made for exactly
# this file: the digests it carries must be those of EXE. Whether the signer is trusted
# is for verify to say, so osslsigncode's exit status (which also tells that) is not used.
attach_to() { # SIGNATURE EXE OUT
    osslsigncode attach-signature -sigin "$1" -in "$2" -out "$3" >"$tmp/attach.log" 2>&1 || true
    [ -s "$3" ] || fail "cannot attach $1 to $2: $(first_complaint "$tmp/attach.log")"
    # Each signature's digest, the nested one's too, must be the one calculated for EXE.
    awk '$2 == "message" && $3 == "digest" && $4 == ":" {
            if ($1 == "Current") current[++n] = $5
            if ($1 == "Calculated") calculated[++m] = $5
        }
        END {
            if (n == 0 || n != m) exit 1
            for (i = 1; i <= n; i++) if (current[i] != calculated[i]) exit 1
        }' "$tmp/attach.log" ||
        fail "$1 is not a signature of this build of $2 (the digests differ): $(mismatch_hint "$1")"
}

# Copies FILE to a temporary beside DEST; commit renames it, so DEST is never half written.
stage() { # FILE DEST
    mkdir -p "$(dirname "$2")"
    cp "$1" "$2.part.$$"
}

commit() { # DEST...
    for dest in "$@"; do mv -f "$dest.part.$$" "$dest"; done
}

sign() { # EXE SIGNED_EXE SIGNATURE [PAYLOAD32 PAYLOAD64]
    exe=$1 signed=$2 signature=$3
    # The outputs of an earlier run go first: on failure, none of another build is left to ship.
    rm -f "$signed" "$signature"
    need_file EXE "$exe"
    build=$(describe_build "${4:-}" "${5:-}")
    digests=$(signature_digests)
    set -- -n "VuqSetup Wrapper Application"
    key_line="" on_token=""
    if token_given; then
        check_token_variables
        [ -z "$pin_file" ] || warn_if_readable "$pin_name" "$pin_file"
        on_token=1
        # The layout of the signatures, made with a stand-in that the token's key replaces.
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
            -subj "/CN=stand-in" -keyout "$tmp/stand-in.key" -out "$tmp/stand-in.pem" \
            >"$tmp/stand-in.log" 2>&1 ||
            fail "cannot make the stand-in key: $(first_complaint "$tmp/stand-in.log")"
        set -- "$@" -certs "$tmp/stand-in.pem" -key "$tmp/stand-in.key"
    else
        if [ -n "${SIGN_PKCS12:-}" ]; then
            [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || fail "name SIGN_PKCS12, or SIGN_CERT and SIGN_KEY, not both"
            need_file SIGN_PKCS12 "$SIGN_PKCS12"
            set -- "$@" -pkcs12 "$SIGN_PKCS12"
        else
            [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ] || fail "no certificate: set SIGN_CERT and SIGN_KEY, or SIGN_PKCS12"
            need_file SIGN_CERT "${SIGN_CERT:-}"
            need_file SIGN_KEY "${SIGN_KEY:-}"
            set -- "$@" -certs "$SIGN_CERT" -key "$SIGN_KEY"
        fi
        if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
            need_file SIGN_PASSWORD_FILE "$SIGN_PASSWORD_FILE"
            warn_if_readable SIGN_PASSWORD_FILE "$SIGN_PASSWORD_FILE"
            set -- "$@" -readpass "$SIGN_PASSWORD_FILE"
        fi
        [ -n "${SIGN_PKCS12:-}" ] ||
            check_pem_key "$SIGN_CERT" "$SIGN_KEY" "${SIGN_PASSWORD_FILE:-}"
    fi
    [ -z "${SIGN_URL:-}" ] || set -- "$@" -i "$SIGN_URL"
    # A key on a token: its signatures are stamped once they are made.
    [ -z "${SIGN_TIMESTAMP_URL:-}" ] || [ -n "$on_token" ] || set -- "$@" -ts "$SIGN_TIMESTAMP_URL"

    # One run of osslsigncode a signature: the first is the primary, each later one is nested
    # in it, and each is timestamped on its own.
    input=$exe nest=""
    for digest in $digests; do
        osslsigncode sign $nest -h "$digest" "$@" -in "$input" -out "$tmp/signed-$digest.exe" \
            >"$tmp/sign.log" 2>&1 ||
            fail "cannot sign $exe ($digest): $(first_complaint "$tmp/sign.log")"
        input=$tmp/signed-$digest.exe nest=-nest
    done
    mv "$input" "$tmp/signed.exe"
    [ -z "$on_token" ] || sign_on_token "$exe" "$tmp/signed.exe" "$digests"
    osslsigncode extract-signature -pem -in "$tmp/signed.exe" -out "$tmp/signature" \
        >"$tmp/extract.log" 2>&1 ||
        fail "cannot extract the signature: $(first_complaint "$tmp/extract.log")"
    echo "For: $build" >>"$tmp/signature"
    # What is published must rebuild the signed file exactly.
    attach_to "$tmp/signature" "$exe" "$tmp/attached.exe"
    cmp -s "$tmp/attached.exe" "$tmp/signed.exe" ||
        fail "the detached signature does not reproduce the signed file"

    chmod a+x "$tmp/signed.exe"
    stage "$tmp/signed.exe" "$signed"
    stage "$tmp/signature" "$signature"
    commit "$signed" "$signature"
    echo "signed: $signed, $build"
    case $digests in
    *" "*) echo "signatures: SHA-1, with SHA-256 nested" ;;
    *) echo "signature: SHA-256" ;;
    esac
    [ -z "$key_line" ] || echo "$key_line"
    echo "detached signature: $signature"
    [ -n "${SIGN_TIMESTAMP_URL:-}" ] ||
        echo "note: no SIGN_TIMESTAMP_URL, so the signature is valid only while the certificate is"
}

attach() { # SIGNATURE EXE SIGNED_EXE [PAYLOAD32 PAYLOAD64]
    signature=$1 exe=$2 signed=$3
    need_file SIGNATURE "$signature"
    need_file EXE "$exe"
    build=$(describe_build "${4:-}" "${5:-}")
    attach_to "$signature" "$exe" "$tmp/attached.exe"
    chmod a+x "$tmp/attached.exe"
    replaced=""
    if [ -f "$signed" ]; then
        if cmp -s "$signed" "$tmp/attached.exe"; then
            replaced="replaced: $signed, which held the same bytes"
        else
            replaced="replaced: $signed, which held another file (SHA-256 $(sha256sum <"$signed" |
                cut -c 1-16)...)"
        fi
    fi
    stage "$tmp/attached.exe" "$signed"
    commit "$signed"
    [ -z "$replaced" ] || echo "$replaced"
    echo "signed: $signed, $build"
}

if { [ $# -ne 4 ] && [ $# -ne 6 ]; } || { [ "$1" != sign ] && [ "$1" != attach ]; }; then
    fail "usage: sign.sh sign EXE SIGNED_EXE SIGNATURE | sign.sh attach SIGNATURE EXE SIGNED_EXE" \
        "(each with PAYLOAD32 PAYLOAD64 of a pinned build)"
fi
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (sh tools/install-deps.sh)"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vuqsign.XXXXXX")
command=$1
shift
"$command" "$@"
