#!/usr/bin/env python3
"""Finds English messages in the sources that do not go through the catalog.

A string literal that reads like prose (two words of letters with a blank
between them) must be the message argument of Tr, TrFormat, TrPlural, N_,
Say, SayFormat or SayPlural, or look like a statement, or carry the comment
"// not a message" on its line. Prints each one that escapes, exits 1 then.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.')
CALLS = ('Tr', 'TrFormat', 'TrPlural', 'N_', 'Say', 'SayFormat', 'SayPlural')
PROSE = re.compile(r"[A-Za-z][a-z']+,? [a-z][a-z']+")
# Statement texts: T-SQL keywords as the sources write them (capitalised or
# upper case), which messages never begin with.
SQL = re.compile(
    r"^\s*(Select|SELECT|Insert|INSERT|Update|UPDATE|Delete|DELETE|Create|CREATE|Alter|ALTER|"
    r"Drop|DROP|Exec|EXEC|Declare|DECLARE|Set|SET|If|IF|Begin|BEGIN|End|END|Commit|COMMIT|"
    r"Rollback|ROLLBACK|Grant|GRANT|Deny|DENY|Revoke|REVOKE|Print|PRINT|RaisError|RAISERROR|"
    r"Throw|THROW|With|WITH|From|FROM|Where|WHERE|Order|And|AND|Or|OR|Join|JOIN|Left|Union|"
    r"Go|GO|Use|USE|Return|RETURN|Truncate|Into|Values|Case|When|Else|Cast|Convert|Not|"
    r"Exists|On|Group|Having|Top|Is|Null|--|:on|:setvar|\)|,)\b")
SQL_INSIDE = re.compile(r"\b(From|FROM|Where|WHERE|Select|SELECT|Exec|EXEC|Object_ID|sys\.)\b")
LITERAL = re.compile(r'(?:u8|u|U|L)?R"([^(\s]*)\((.*?)\)\1"|(?:u8|u|U|L)?"((?:[^"\\\n]|\\.)*)"', re.S)


def strip_comments(text):
    """Blanks // and /* */ comments (outside literals), keeping line numbers."""
    out = []
    i = 0
    while i < len(text):
        m = LITERAL.match(text, i)
        if m and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "'")):
            out.append(text[i:m.end()])
            i = m.end()
        elif text.startswith('//', i):
            end = text.find('\n', i)
            end = len(text) if end < 0 else end
            out.append(' ' * (end - i))
            i = end
        elif text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = len(text) if end < 0 else end + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:end]))
            i = end
        elif text[i] == "'" and i + 2 < len(text):
            end = text.find("'", i + 2 if text[i + 1] == '\\' else i + 1)
            end = i + 1 if end < 0 else end + 1
            out.append(text[i:end])
            i = end
        else:
            out.append(text[i])
            i += 1
    return ''.join(out)


def enclosing_call(text, at):
    """The name before the innermost open parenthesis around position at."""
    depth = 0
    i = at - 1
    while i >= 0 and at - i < 4000:
        c = text[i]
        if c == ')':
            depth += 1
        elif c == '(':
            if depth == 0:
                m = re.search(r'([A-Za-z_][A-Za-z0-9_:]*)\s*$', text[:i])
                return m.group(1).split('::')[-1] if m else ''
            depth -= 1
        elif c in ';{}' and depth == 0:
            return ''
        i -= 1
    return ''


def is_message_argument(text, start):
    """True for a catalog call's message: its first argument (plural calls: two)."""
    name = enclosing_call(text, start)
    if name not in CALLS:
        return False
    commas = 0
    depth = 0
    i = start - 1
    while text[i] != '(' or depth:
        if text[i] == ')':
            depth += 1
        elif text[i] == '(':
            depth -= 1
        elif text[i] == ',' and depth == 0:
            commas += 1
        i -= 1
    return commas == 0 or (commas == 1 and name in ('TrPlural', 'SayPlural'))


def escapes(path):
    raw = path.read_text(encoding='utf-8', errors='replace')
    lines = raw.split('\n')
    text = strip_comments(raw)
    # The brackets and commas of the code only: every literal's inside blanked.
    masked = LITERAL.sub(lambda m: '"' + 'x' * (len(m.group(0)) - 2) + '"', text)
    found = []
    for m in LITERAL.finditer(text):
        body = m.group(2) if m.group(2) is not None else m.group(3)
        line = text.count('\n', 0, m.start())
        if not PROSE.search(body) or SQL.match(body) or SQL_INSIDE.search(body):
            continue
        if 'not a message' in lines[line] or (line > 0 and 'not a message' in lines[line - 1]):
            continue
        if text[:m.start()].rstrip().endswith('#include') or is_message_argument(masked, m.start()):
            continue
        found.append(f'{path.relative_to(ROOT)}:{line + 1}: "{body[:70]}"')
    return found


def main():
    found = []
    for folder in ('src', 'cli'):
        for path in sorted((ROOT / folder).rglob('*')):
            if path.suffix in ('.cpp', '.h'):
                found += escapes(path)
    for f in found:
        print(f)
    if found:
        print(f'{len(found)} message(s) escape the catalog: pass them through Tr/Say '
              '(or mark a literal that is no message "// not a message")', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
