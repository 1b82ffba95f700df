// The chat transcript the chat helper reads: "### User" and "### Assistant" turns.

const MARKER_RE = /^### (User|Assistant)[ \t\r]*$/;
const NOTE_PREFIX = '> [apple] ';

/**
 * A line of a message that would read as a turn marker (or, in a user's message, as one of
 * the helper's own notes, which it drops) gets a leading space, which makes it plain text.
 */
function guard(text, role) {
  return text
    .split('\n')
    .map((line) => (MARKER_RE.test(line) || (role === 'user' && line.startsWith(NOTE_PREFIX)) ? ` ${line}` : line))
    .join('\n');
}

/** turns: [{role: 'user' | 'assistant', text}], oldest first. */
export function buildTranscript(turns) {
  return turns
    .map(({ role, text }) => `### ${role === 'user' ? 'User' : 'Assistant'}\n${guard(text, role)}\n`)
    .join('\n');
}
