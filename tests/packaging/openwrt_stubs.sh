# shellcheck shell=dash
# Stand-ins for the parts of OpenWrt's /lib/functions.sh and procd.sh that an
# init script's start_service and service_triggers use. config_load reads the
# UCI file UCI_CONFIG_DIR/NAME ("config TYPE 'NAME'" and "option NAME 'VALUE'"
# lines) into CONFIG_<section>_<option> variables, as functions.sh does; every
# procd_* and logger call is written to PROCD_LOG, one line each, with its
# arguments in brackets.

unquote() {
	case "$1" in
	\'*\') value=${1#\'}; value=${value%\'} ;;
	\"*\") value=${1#\"}; value=${value%\"} ;;
	*) value=$1 ;;
	esac
}

config_load() {
	local file="$UCI_CONFIG_DIR/$1" keyword name rest section=
	[ -f "$file" ] || return 0
	while read -r keyword name rest; do
		case "$keyword" in
		config)
			unquote "$rest"
			section=$value
			config_cb "$name" "$section"
			;;
		option)
			[ -n "$section" ] || continue
			unquote "$rest"
			eval "CONFIG_${section}_${name}=\$value"
			option_cb "$name" "$value"
			;;
		esac
	done <"$file"
}

# functions.sh calls these for every section and option; an init script may
# define its own before config_load.
command -v config_cb >/dev/null 2>&1 || config_cb() { return 0; }
command -v option_cb >/dev/null 2>&1 || option_cb() { return 0; }

config_get() {
	eval "$1=\${CONFIG_${2}_${3}:-\$4}"
}

config_get_bool() {
	local _tmp
	config_get _tmp "$2" "$3" "$4"
	case "$_tmp" in
	1 | on | true | yes | enabled) _tmp=1 ;;
	0 | off | false | no | disabled) _tmp=0 ;;
	*) _tmp="$4" ;;
	esac
	eval "$1=\$_tmp"
}

record() {
	local line="$1"
	shift
	for arg in "$@"; do
		line="$line [$arg]"
	done
	echo "$line" >>"$PROCD_LOG"
}

procd_open_instance() { record open "$@"; }
procd_close_instance() { record close "$@"; }
procd_set_param() {
	local name="$1"
	shift
	record "set $name" "$@"
}
procd_append_param() {
	local name="$1"
	shift
	record "append $name" "$@"
}
procd_add_reload_trigger() { record reload-trigger "$@"; }
logger() { record logger "$@"; }
