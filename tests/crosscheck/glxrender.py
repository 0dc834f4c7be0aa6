#!/usr/bin/python3
"""Cross-checks the render-command table of the GLX swapper (src/xext/glxswap.cpp) against the
GLX render encoding as Mesa's client library sends it, worked out from the installed headers:
  - the render opcodes and their command names: X_GLrop_* of GL/glxproto.h;
  - the fixed headers of the pixel and compressed-image commands: the __GLX_*_HDR field lists
    of GL/glxproto.h;
  - every other command from its GL prototype (GL/gl.h, GL/glext.h) by the client's rule: the
    fixed 64-bit arguments first, then the other fixed arguments in call order, then the arrays
    whose length varies; vectors named "...3fv" carry 3 items, matrices 16, clip planes 4, rectangle corners 2; the
    evaluator maps leave their strides out.
    The vertex-attribute and program-parameter commands of the vertex-program extensions keep
    their doubles in call order, as their published GLX encoding lists them.
For each row, a sample command (variable arrays of 3 items, padded to 4 bytes) is swapped by the
row's layout: every field must come out with the bytes of each item reversed in its unit, a
byte field unchanged; only the pixel header's reserved bytes, fields the headers call unused
and the padding may change otherwise. The rows of hand-written cases (whose counts live in the
data) are checked by the unit tests instead.
Usage: glxrender.py SOURCE_DIR"""
import os
import re
import sys

GLXPROTO = '/usr/include/GL/glxproto.h'
GL_HEADERS = ['/usr/include/GL/gl.h', '/usr/include/GL/glext.h']

TYPE_SIZES = {
    'GLdouble': 8, 'GLclampd': 8, 'GLintptr': 8, 'GLsizeiptr': 8, 'GLintptrARB': 8, 'GLsizeiptrARB': 8,
    'GLint64': 8, 'GLuint64': 8, 'GLint64EXT': 8, 'GLuint64EXT': 8,
    'GLfloat': 4, 'GLclampf': 4, 'GLint': 4, 'GLuint': 4, 'GLenum': 4, 'GLsizei': 4, 'GLbitfield': 4,
    'GLhandleARB': 4,
    'GLshort': 2, 'GLushort': 2, 'GLhalfNV': 2,
    'GLbyte': 1, 'GLubyte': 1, 'GLboolean': 1, 'GLchar': 1, 'GLcharARB': 1, 'GLvoid': 1, 'void': 1,
}
SUFFIX_TYPES = {'b': 'GLbyte', 'ub': 'GLubyte', 's': 'GLshort', 'us': 'GLushort', 'i': 'GLint', 'ui': 'GLuint',
                'f': 'GLfloat', 'd': 'GLdouble'}
# Commands whose doubles stay in call order (the vertex-program extensions' encodings).
DOUBLES_IN_ORDER = set(range(4197, 4201)) | {4185, 4216} | set(range(4273, 4277))
# Fixed-header structs of glxproto.h by render opcode (the pixel header comes first where the
# struct has one).
HEADER_STRUCTS = {
    5: '__GLXdispatchBitmapHeader', 102: '__GLXpolygonStippleHeader', 109: '__GLXdispatchTexImageHeader',
    110: '__GLXdispatchTexImageHeader', 173: '__GLXdispatchDrawPixelsHeader',
    195: '__GLXdispatchColorSubTableHeader', 2053: '__GLXdispatchColorTableHeader',
    4099: '__GLXdispatchTexSubImageHeader', 4100: '__GLXdispatchTexSubImageHeader',
    4101: '__GLXdispatchConvolutionFilterHeader', 4102: '__GLXdispatchConvolutionFilterHeader',
    4109: '__GLXdispatchConvolutionFilterHeader', 4114: '__GLXdispatchTexImage3DHeader',
    4115: '__GLXdispatchTexSubImage3DHeader', 214: '__GLXdispatchCompressedTexImageHeader',
    215: '__GLXdispatchCompressedTexImageHeader', 216: '__GLXdispatchCompressedTexImage3DHeader',
    217: '__GLXdispatchCompressedTexSubImageHeader', 218: '__GLXdispatchCompressedTexSubImageHeader',
    219: '__GLXdispatchCompressedTexSubImage3DHeader',
}
# The evaluator maps send their points packed: the strides stay with the client.
CLIENT_ONLY_MAP = {'stride', 'ustride', 'vstride'}
# Header fields that may change: reserved bytes of the pixel header.
RESERVED_FIELDS = {'reserved0', 'reserved1'}
# Commands that no public encoding describes, not checked here: the uniform matrices and the
# attribute location (their flag and name fields are our own), our own client-array and
# array-drawing commands, and our own commands that create render and frame buffer names.
NOT_PUBLIC = {262, 263, 264, 265, 291, 292, 293, 295, 9900, 9901}


def strip_comments(text):
    text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
    return re.sub(r'//[^\n]*', ' ', text)


def table_rows(source_dir):
    """(opcode, layout, own-order layout or None, name) of the render table."""
    text = open(os.path.join(source_dir, 'src/xext/glxswap.cpp')).read()
    body = text.split('kRenderRows[] = {', 1)[1].split('\n};', 1)[0]
    rows = re.findall(r'\{(\d+), "([^"]*)"(?:, "([^"]*)")?\},\s*// (.*)', body)
    return [(int(code), layout, other or None, name.strip()) for code, layout, other, name in rows]


def rop_names():
    names = {}
    for name, code in re.findall(r'#define\s+X_GLrop_(\w+)\s+(\d+)', open(GLXPROTO).read()):
        names.setdefault(int(code), []).append(name)
    return names


def header_structs():
    """struct name -> [(size, field name)] without the render header."""
    text = strip_comments(open(GLXPROTO).read()).replace('\\\n', ' ')
    macros = {}
    for name, body in re.findall(r'#define\s+(__GLX_\w+_HDR)\s+([^\n]*)', text):
        macros[name] = body
    sizes = {'BOOL': 1, 'CARD8': 1, 'CARD16': 2, 'CARD32': 4, 'INT32': 4, 'FLOAT32': 4}

    def fields(body):
        out = []
        for statement in body.split(';'):
            words = statement.replace('F32', ' ').split()
            if not words:
                continue
            if words[0] in macros:
                if 'RENDER' not in words[0]:
                    out.extend(fields(macros[words[0]]))
                continue
            out.append((sizes[words[0]], words[1]))
        return out

    structs = {}
    for body, name in re.findall(r'typedef\s+struct\s*\w*\s*\{([^{}]*)\}\s*(\w+)\s*;', text):
        try:
            structs[name] = fields(body)
        except KeyError:
            pass
    return structs


def prototypes():
    out = {}
    for path in GL_HEADERS:
        text = strip_comments(open(path).read())
        for name, params in re.findall(r'GLAPI\s+[\w\s\*]+?\s*G?L?APIENTRY\s+(gl\w+)\s*\(([^)]*)\)\s*;', text):
            parsed = []
            for p in params.split(','):
                p = p.replace('const', ' ').strip()
                if p in ('void', ''):
                    continue
                pointer = '*' in p
                words = p.replace('*', ' * ').split()
                parsed.append((words[0], pointer, words[-1]))
            out.setdefault(name, parsed)
    return out


def vector_count(function, ptype):
    """Items of a fixed-size vector argument, None for an array whose length varies."""
    if re.search(r'(Load|Mult)(Transpose)?Matrix[fd]', function):
        return 16
    if 'ClipPlane' in function:
        return 4
    if re.match(r'glRect[sifd]v$', function):
        return 2
    m = re.search(r'(\d)N?(ub|us|ui|b|s|i|f|d)v(?:[A-Z]+)?$', function)
    if m and SUFFIX_TYPES[m.group(2)] == ptype:
        return int(m.group(1))
    return None


def expected_fields(function, params, keep_double_order, items=3):
    """[(size, unit, name)] in wire order for a command with `items` items per varying array."""
    has_count = any(not pointer and name in ('n', 'count', 'num') for ptype, pointer, name in params)
    wide, fixed, varying = [], [], []
    for ptype, pointer, name in params:
        if function.startswith('glMap') and name in CLIENT_ONLY_MAP:
            continue
        unit = TYPE_SIZES[ptype]
        if pointer:
            count = None if has_count else vector_count(function, ptype)
            if count is None:
                varying.append((unit * items + (2 if unit == 1 else 0), unit, name))
                continue
            field = (unit * count, unit, name)
        else:
            field = (unit, unit, name)
        (wide if unit == 8 and not keep_double_order else fixed).append(field)
    return wide + fixed + varying


def swap_by_layout(layout, data):
    """The bytes after the layout's swap (b s i l S I L only)."""
    data = list(data)
    p = 0
    for letter in layout:
        size = {'b': 1, 's': 2, 'i': 4, 'l': 8}.get(letter.lower())
        if letter.isupper():
            while p + size <= len(data):
                data[p:p + size] = data[p:p + size][::-1]
                p += size
            break
        if p + size > len(data):
            break
        data[p:p + size] = data[p:p + size][::-1]
        p += size
    return data


def check(layout, fields, reserved=()):
    """Problems of the layout for the fields [(size, unit, name)], [] when it is right."""
    total = sum(size for size, _, _ in fields)
    padded = (total + 3) & ~3
    before = list(range(padded))
    after = swap_by_layout(layout, before)
    problems = []
    offset = 0
    for size, unit, name in fields:
        want = []
        for k in range(0, size - size % unit, unit):
            want.extend(before[offset + k:offset + k + unit][::-1] if unit > 1 else before[offset + k:offset + k + unit])
        want.extend(before[offset + size - size % unit:offset + size])
        if after[offset:offset + size] != want and name not in reserved:
            problems.append('%s at %d (%d bytes in units of %d)' % (name, offset, size, unit))
        offset += size
    return problems


def main():
    source_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), '../..')
    names, structs, protos = rop_names(), header_structs(), prototypes()
    failures, checked = [], 0

    def fields_of(code, table_name):
        if code in HEADER_STRUCTS:
            fields = [(size, size, name) for size, name in structs[HEADER_STRUCTS[code]]]
            return fields + [(7, 1, 'pixels')]
        candidates = ['gl' + n for n in names.get(code, [])] + [table_name]
        for candidate in candidates:
            for variant in (candidate, re.sub(r'(ARB|EXT|NV)$', '', candidate), candidate + 'ARB', candidate + 'EXT'):
                if variant in protos:
                    return expected_fields(variant, protos[variant], code in DOUBLES_IN_ORDER)
        return None

    for code, layout, other, name in table_rows(source_dir):
        if 'H' in layout or code in NOT_PUBLIC:
            continue
        fields = fields_of(code, name)
        if fields is None:
            failures.append('render %d %s: no encoding found for it' % (code, name))
            continue
        checked += 1
        for problem in check(layout, fields, RESERVED_FIELDS):
            failures.append('render %d %s layout "%s": %s' % (code, name, layout, problem))

    # The check itself: layouts that split a double, swap a name as values or leave a field in
    # the client's order fail it.
    wrong = [('iil', 115, 'glTexGend'), ('iiiiii', 4219, 'glProgramNamedParameter4dvNV'),
             ('iiiiii', 214, 'glCompressedTexImage1DARB'), ('ii', 4229, 'glDepthBoundsEXT')]
    for layout, code, name in wrong:
        if not check(layout, fields_of(code, name)):
            failures.append('the check accepts layout "%s" for %d %s' % (layout, code, name))
    if checked < 300:
        failures.append('only %d rows checked' % checked)
    for failure in failures:
        print(failure)
    print('%d render rows checked, %d problems' % (checked, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
