// Shell completions generated from the command table. Each shell gets the
// same tables, keyed by the command path ("velmora-fsutil lucid perf"): the
// path's commands, the options it takes (the global ones included), the kind
// of value each option takes, the kinds of its positional arguments, and
// whether its words belong to another program (run, lucid raw). A small
// function in the shell's own language walks the words typed so far through
// those tables. Value kinds travel as one word: text, files, dirs, command,
// words:A,B (one of them) or list:A,B (a comma-separated list of them).
#include <cctype>
#include <stdexcept>

#include "command_table.hpp"

namespace velmora::cli {

namespace {

std::string join(const std::vector<std::string>& words, const std::string& separator) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

// The words travel in lists that shells split and expand (bash's compgen
// -W expands its word list): a word that a shell would split or expand is a
// mistake of the command table, found when the build generates the files.
const std::string& plain(const std::string& word) {
  if (word.empty() || word.find_first_of(", \t\n'\"\\$`{}~;&|<>()*?[]") != std::string::npos) {
    throw std::logic_error("a word offered for completion is empty or holds a separator, quote or expansion: " + word);
  }
  return word;
}

std::string token(const ValueKind& value) {
  for (const auto& word : value.words) plain(word);
  switch (value.kind) {
    case ValueKind::text: return "text";
    case ValueKind::files: return "files";
    case ValueKind::directories: return "dirs";
    case ValueKind::command: return "command";
    case ValueKind::oneOf: return "words:" + join(value.words, ",");
    case ValueKind::listOf: return "list:" + join(value.words, ",");
  }
  return "text";
}

// A single-quoted word for bash and zsh.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A single-quoted word for fish, which escapes inside quotes.
std::string fishQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// One table row: a key and its value.
struct Row {
  std::string key, value;
};
struct Tables {
  std::vector<Row> commands, options, values, positionals, rest;
};

// With `described`, each command and option comes with its description,
// "name<separator>description" one a line; otherwise the names, space-separated.
Tables tablesOf(const std::string& program, const std::vector<CommandEntry>& table, bool described,
                const std::string& separator) {
  Tables tables;
  for (const auto& entry : table) {
    const std::string key = entry.pathText(program);
    std::vector<std::string> items;
    for (const CLI::App* sub : entry.subcommands) {
      items.push_back(described ? plain(sub->get_name()) + separator + sub->get_description() : plain(sub->get_name()));
    }
    if (!items.empty()) tables.commands.push_back({key, join(items, described ? "\n" : " ")});
    items.clear();
    for (const auto& option : entry.options) {
      for (const auto& name : option.names) {
        items.push_back(described ? plain(name) + separator + option.description : plain(name));
      }
      if (option.valueName.empty()) continue;
      for (const auto& name : option.names) tables.values.push_back({key + " " + name, token(option.value)});
    }
    tables.options.push_back({key, join(items, described ? "\n" : " ")});
    items.clear();
    for (const auto& positional : entry.positionals) {
      // Bash leaves file names to its own completion only where nothing else
      // matched, so a command with subcommands offers no file names.
      const bool names = positional.value.kind == ValueKind::files || positional.value.kind == ValueKind::directories;
      if (names && !entry.subcommands.empty()) throw std::logic_error("file names beside subcommands in " + key);
      items.push_back(token(positional.value));
    }
    if (!items.empty()) tables.positionals.push_back({key, join(items, " ") + (entry.lastRepeats ? "..." : "")});
    if (entry.rest) tables.rest.push_back({key, token(*entry.rest)});
  }
  return tables;
}

// `name=(` key value ... `)` for a bash or zsh associative array.
std::string shellArray(const std::string& name, const std::vector<Row>& rows, bool zsh) {
  std::string text = "  " + name + "=(\n";
  for (const auto& row : rows) {
    text += zsh ? "    " + quoted(row.key) + " " + quoted(row.value) + "\n"
                : "    [" + quoted(row.key) + "]=" + quoted(row.value) + "\n";
  }
  return text + "  )\n";
}

std::string shellTables(const Tables& tables, bool zsh) {
  return shellArray("subcommands", tables.commands, zsh) + shellArray("optionNames", tables.options, zsh) +
         shellArray("valueKinds", tables.values, zsh) + shellArray("argumentKinds", tables.positionals, zsh) +
         shellArray("restKinds", tables.rest, zsh);
}

// The program's name as part of a shell function's name.
std::string identifier(const std::string& program) {
  std::string name = program;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

// Every `from` in `text` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string header(const char* shell, const std::string& program) {
  return std::string("# ") + shell + " completion for " + program + ", generated from its command table\n# (" +
         program + " --generate " + shell + "): do not edit.\n";
}

}  // namespace

std::string bashCompletion(const std::string& program, const std::vector<CommandEntry>& table) {
  const std::string function = "_" + identifier(program);
  return header("bash", program) + function + R"sh(() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
  }
  local -A subcommands optionNames valueKinds argumentKinds restKinds
)sh" + shellTables(tablesOf(program, table, false, ""), false) +
         "  local cmd=" + quoted(program) + R"sh( word kind="" n=0 i w done
  local -a args
  # The command path so far; n counts the arguments that are no command.
  for ((i = 1; i < cword; i++)); do
    word=${words[i]}
    if [[ -n ${restKinds[$cmd]+set} ]]; then n=$((n + 1)); continue; fi
    case $word in
      -*=* | -) ;;
      -*) if [[ -n ${valueKinds["$cmd $word"]+set} ]]; then
            ((i + 1 == cword)) && kind=${valueKinds["$cmd $word"]}
            i=$((i + 1))
          fi ;;
      *) if [[ " ${subcommands[$cmd]-} " == *" $word "* ]]; then cmd+=" $word"; n=0; else n=$((n + 1)); fi ;;
    esac
  done
  COMPREPLY=()
  # After a prefix command only its first word may be its own option (--help).
  if [[ -n ${restKinds[$cmd]+set} ]] && { ((n > 0)) || [[ $cur != -* ]]; }; then
    if [[ ${restKinds[$cmd]} == command ]] && ((n == 0)); then kind=command; else kind=files; fi
  elif [[ -z $kind ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "${optionNames[$cmd]}" -- "$cur"))
      return
    fi
    args=(${argumentKinds[$cmd]-})
    if ((n < ${#args[@]})); then
      kind=${args[n]}
    elif ((${#args[@]})) && [[ ${args[-1]} == *... ]]; then
      kind=${args[-1]}
    fi
    kind=${kind%...}
    COMPREPLY=($(compgen -W "${subcommands[$cmd]-}" -- "$cur"))
  fi
  # Names of files and folders are left to bash's own completion, which reads
  # the word as the shell will (quotes, backslashes, ~) and quotes what it
  # puts in: a name with a space stays one word. (It comes only where no word
  # matched; no command offers both, which the generator checks.)
  case $kind in
    files) compopt -o default 2>/dev/null ;;
    dirs) compopt -o dirnames 2>/dev/null ;;
    command) local IFS=$'\n'; COMPREPLY+=($(compgen -c -- "$cur")) ;;
    words:*) w=${kind#words:}; COMPREPLY+=($(compgen -W "${w//,/ }" -- "$cur")) ;;
    list:*) w=${kind#list:}; done=${cur%"${cur##*,}"}; COMPREPLY+=($(compgen -P "$done" -W "${w//,/ }" -- "${cur##*,}")) ;;
  esac
}
complete -F )sh" + function + " " + program + "\n";
}

std::string zshCompletion(const std::string& program, const std::vector<CommandEntry>& table) {
  return "#compdef " + program + "\n" + header("zsh", program) + "local -A subcommands optionNames valueKinds argumentKinds restKinds\n" +
         shellTables(tablesOf(program, table, true, ":"), true) + "local cmd=" + quoted(program) +
         R"sh( word key kind= n=0 i
local -a names args specs
# The command path so far; n counts the arguments that are no command.
for (( i = 2; i < CURRENT; i++ )); do
  word=$words[i]
  if (( $+restKinds[$cmd] )); then (( n += 1 )); continue; fi
  case $word in
    (-*=* | -) ;;
    (-*) key="$cmd $word"
         if (( $+valueKinds[$key] )); then
           (( i + 1 == CURRENT )) && kind=$valueKinds[$key]
           (( i += 1 ))
         fi ;;
    (*) names=(${${(f)subcommands[$cmd]}%%:*})
        if (( $names[(Ie)$word] )); then cmd+=" $word"; n=0; else (( n += 1 )); fi ;;
  esac
done
# After a prefix command only its first word may be its own option (--help).
if (( $+restKinds[$cmd] )) && { (( n > 0 )) || [[ $PREFIX != -* ]] }; then
  if [[ $restKinds[$cmd] == command ]] && (( n == 0 )); then kind=command; else kind=files; fi
elif [[ -z $kind ]]; then
  if [[ $PREFIX == -* ]]; then
    specs=(${(f)optionNames[$cmd]})
    _describe -t options option specs
    return
  fi
  args=(${=argumentKinds[$cmd]})
  if (( n < $#args )); then kind=$args[n+1]; elif [[ $args[-1] == *... ]]; then kind=$args[-1]; fi
  kind=${kind%...}
  specs=(${(f)subcommands[$cmd]})
  (( $#specs )) && _describe -t commands command specs
fi
case $kind in
  (files) _files ;;
  (dirs) _files -/ ;;
  (command) _command_names -e ;;
  (words:*) compadd -- ${(s:,:)${kind#words:}} ;;
  (list:*) _sequence compadd - ${(s:,:)${kind#list:}} ;;
esac
)sh";
}

std::string fishCompletion(const std::string& program, const std::vector<CommandEntry>& table) {
  const std::string prefix = "__" + identifier(program);
  const Tables tables = tablesOf(program, table, true, "\t");
  std::string text = header("fish", program) + "function " + prefix + "_table -a table key\n    switch \"$table $key\"\n";
  const std::pair<const char*, const std::vector<Row>*> named[] = {{"commands", &tables.commands},
                                                                   {"options", &tables.options},
                                                                   {"values", &tables.values},
                                                                   {"positionals", &tables.positionals},
                                                                   {"rest", &tables.rest}};
  for (const auto& [name, rows] : named) {
    for (const auto& row : *rows) {
      // A case is a pattern: keys are command and option names, never wildcards.
      if (row.key.find_first_of("*?") != std::string::npos) throw std::logic_error("a wildcard in " + row.key);
      text += "        case " + fishQuoted(std::string(name) + " " + row.key) + "\n            printf '%s\\n' " +
              fishQuoted(row.value) + "\n";
    }
  }
  const std::string walk = R"sh(
    set -l tokens (commandline -opc)
    set -l cur (commandline -ct)
    set -l cmd PROGRAM
    set -l kind
    set -l n 0
    # The command path so far; n counts the arguments that are no command.
    set -l i 2
    while test $i -le (count $tokens)
        set -l word $tokens[$i]
        if TABLE rest $cmd >/dev/null
            set n (math $n + 1)
        else if string match -q -- '-*=*' $word; or test "$word" = -
        else if string match -q -- '-*' $word
            if set -l value (TABLE values "$cmd $word")
                test $i -eq (count $tokens); and set kind $value
                set i (math $i + 1)
            end
        else if contains -- $word (TABLE commands $cmd | string replace -r '\t.*' '')
            set cmd "$cmd $word"
            set n 0
        else
            set n (math $n + 1)
        end
        set i (math $i + 1)
    end
    set -l rest (TABLE rest $cmd)
    # After a prefix command only its first word may be its own option (--help).
    if test -n "$rest"; and begin; test $n -gt 0; or not string match -q -- '-*' "$cur"; end
        if test "$rest" = command -a $n -eq 0
            set kind command
        else
            set kind files
        end
    else if test -z "$kind"
        if string match -q -- '-*' "$cur"
            TABLE options $cmd
            return
        end
        set -l args (TABLE positionals $cmd | string split ' ')
        if test $n -lt (count $args)
            set kind $args[(math $n + 1)]
        else if string match -q -- '*...' $args[-1]
            set kind $args[-1]
        end
        set kind (string replace -- '...' '' "$kind")
        TABLE commands $cmd
    end
    switch "$kind"
        case files
            # fish's own file names, from a word read as fish reads it
            # (escapes, quotes, ~), as __fish_complete_directories does
            complete -C"TABLE_paths $cur"
        case dirs
            __fish_complete_directories "$cur"
        case command
            __fish_complete_command "$cur"
        case 'words:*'
            string split , -- (string replace words: '' -- $kind)
        case 'list:*'
            set -l done (string replace -r '[^,]*$' '' -- "$cur")
            for word in (string split , -- (string replace list: '' -- $kind))
                echo $done$word
            end
    end
end

)sh";
  return text + "        case '*'\n            return 1\n    end\nend\n\nfunction " + prefix +
         replaced(replaced(walk, "TABLE", prefix + "_table"), "PROGRAM", fishQuoted(program)) + "\ncomplete -c " +
         program + " -f -a '(" + prefix + ")'\n";
}

}  // namespace velmora::cli
