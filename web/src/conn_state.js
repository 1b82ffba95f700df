// The connection as a small state machine: what the page shows about it and what it does
// next. Pure: the Connection feeds it events and acts on the state it returns.
//
//   connecting --hello--> connected --lost--> (probe) --unreachable--> reconnecting --timer--> connecting
//   connecting --failed--> (probe) --refused--> refused --new link--> connecting
//   any --malformed link--> nolink

export const RETRY_DELAYS_MS = [1000, 2000, 4000, 8000, 15000];

/** The first state for a link read from the address ({error} when it could not be read). */
export const initialState = (link) => (link.error ? { name: 'nolink', why: link.error } : { name: 'connecting', attempt: 0 });

/**
 * Events: {type: 'connect'} a socket is being opened; {type: 'hello'} the daemon greeted;
 * {type: 'unreachable'} no session and the daemon did not answer; {type: 'refused', why}
 * the daemon answered but turned the link down; {type: 'link', link} a new link was given.
 */
export function nextState(state, event, now) {
  switch (event.type) {
    case 'connect':
      return { name: 'connecting', attempt: state.attempt ?? 0 };
    case 'hello':
      return { name: 'connected', attempt: 0 };
    case 'unreachable': {
      const attempt = state.attempt ?? 0;
      const delay = RETRY_DELAYS_MS[Math.min(attempt, RETRY_DELAYS_MS.length - 1)];
      return { name: 'reconnecting', attempt: attempt + 1, retryAt: now + delay };
    }
    case 'refused':
      return { name: 'refused', why: event.why };
    case 'link':
      return initialState(event.link);
    default:
      return state;
  }
}

const PLACES = { loopback: 'this machine', site: 'the daemon', tunnel: 'the tunnel' };

/** The words for a state; `mode` is the link's mode, `now` the clock for countdowns. */
export function stateText(state, mode, now) {
  switch (state.name) {
    case 'connecting':
      return 'Connecting…';
    case 'connected':
      return `Connected to ${PLACES[mode] ?? 'the daemon'}`;
    case 'reconnecting':
      return `Daemon unreachable — retrying in ${Math.max(0, Math.ceil((state.retryAt - now) / 1000))} s`;
    case 'refused':
      return 'Link refused';
    case 'nolink':
      return 'No link';
    default:
      return '';
  }
}

/** Why a refusal happened, in the user's terms, from the daemon's short answer. */
export function refusalText(answer) {
  if (answer === 'bad token') {
    return 'quelmar did not accept this link\'s token. It makes a new link at every start: paste the link it printed last.';
  }
  if (answer === 'bad origin') return 'quelmar does not accept pages from this address. Open the link it printed.';
  return `quelmar refused the connection (${answer}).`;
}
