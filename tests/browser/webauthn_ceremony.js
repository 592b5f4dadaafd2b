'use strict';
// Enrolls and then authenticates against a running gate with headless Chromium's virtual
// authenticator, so the gate meets WebAuthn data produced by a browser rather than by our own
// test code. Usage: node webauthn_ceremony.js <gate port> <enrollment code>
// Prints the last /v1/auth/finish answer (with how a replay fared); exits 1 with the failing step otherwise.
const http = require('node:http');
const { chromium } = require('playwright-core');

const ORIGIN = 'https://gate.velmora.net';
const CHROMIUM = process.env.VELMORA_CHROMIUM || '/usr/bin/chromium';

// The page holds the ceremonies so binary values cross the browser boundary as base64url text.
const PAGE = `<!doctype html><meta charset="utf-8"><title>Velmora gate</title><script>
const fromB64u = (s) => Uint8Array.from(atob(s.replace(/-/g, '+').replace(/_/g, '/')), (c) => c.charCodeAt(0));
const toB64u = (buffer) => btoa(String.fromCharCode(...new Uint8Array(buffer)))
    .replace(/\\+/g, '-').replace(/\\//g, '_').replace(/=+$/, '');
const verification = (o) => (o.requireUserVerification ? 'required' : 'preferred');

window.enroll = async (o) => {
  const credential = await navigator.credentials.create({ publicKey: {
    challenge: fromB64u(o.challenge),
    rp: { id: o.rpId, name: o.rpName },
    user: { id: fromB64u(o.userId), name: o.userName, displayName: o.userDisplayName },
    pubKeyCredParams: [{ type: 'public-key', alg: -7 }],
    excludeCredentials: o.excludeCredentials.map((id) => ({ type: 'public-key', id: fromB64u(id) })),
    authenticatorSelection: { userVerification: verification(o) },
    attestation: 'none',
    timeout: o.timeoutMs,
  } });
  return {
    credentialId: toB64u(credential.rawId),
    attestationObject: toB64u(credential.response.attestationObject),
    clientDataJSON: toB64u(credential.response.clientDataJSON),
  };
};

window.authenticate = async (o) => {
  const credential = await navigator.credentials.get({ publicKey: {
    challenge: fromB64u(o.challenge),
    rpId: o.rpId,
    allowCredentials: o.allowCredentials.map((id) => ({ type: 'public-key', id: fromB64u(id) })),
    userVerification: verification(o),
    timeout: o.timeoutMs,
  } });
  return {
    credentialId: toB64u(credential.rawId),
    authenticatorData: toB64u(credential.response.authenticatorData),
    clientDataJSON: toB64u(credential.response.clientDataJSON),
    signature: toB64u(credential.response.signature),
  };
};
</script>`;

function post(port, path, body) {
  return new Promise((resolve, reject) => {
    const data = JSON.stringify(body);
    const request = http.request({
      host: '127.0.0.1', port, path, method: 'POST',
      headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(data) },
    }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => { text += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, text }));
    });
    request.on('error', reject);
    request.end(data);
  });
}

// Posts and insists on 200, naming the step when the gate refuses.
async function expectOk(port, path, body) {
  const reply = await post(port, path, body);
  if (reply.status !== 200) throw new Error(`${path} answered ${reply.status}: ${reply.text}`);
  return JSON.parse(reply.text);
}

async function main() {
  const [port, code] = process.argv.slice(2);
  if (!port || !code) throw new Error('usage: node webauthn_ceremony.js <gate port> <enrollment code>');

  // Playwright adds a fresh --user-data-dir; no network is touched since the page is fulfilled below.
  const browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    await page.route(`${ORIGIN}/**`, (route) => route.fulfill({ status: 200, contentType: 'text/html', body: PAGE }));
    await page.goto(`${ORIGIN}/`);

    const cdp = await page.context().newCDPSession(page);
    await cdp.send('WebAuthn.enable');
    const { authenticatorId } = await cdp.send('WebAuthn.addVirtualAuthenticator', { options: {
      protocol: 'ctap2', transport: 'usb', hasResidentKey: false,
      hasUserVerification: true, isUserVerified: true, automaticPresenceSimulation: true,
    } });

    const enrollOptions = await expectOk(port, '/v1/enroll/begin', { code });
    const registration = await page.evaluate((o) => window.enroll(o), enrollOptions);
    await expectOk(port, '/v1/enroll/finish', { code, label: 'Chromium virtual key', ...registration });

    const signIn = async () => {
      const authOptions = await expectOk(port, '/v1/auth/begin', {});
      const assertion = await page.evaluate((o) => window.authenticate(o), authOptions);
      if (assertion.credentialId !== registration.credentialId) throw new Error('the browser used another credential');
      return { assertion, granted: await expectOk(port, '/v1/auth/finish', assertion) };
    };
    // Twice, so the gate also meets the browser key's advancing counter; a replay in between is refused.
    const first = await signIn();
    const replay = await post(port, '/v1/auth/finish', first.assertion);
    const { granted } = await signIn();
    granted.replayStatus = replay.status;
    granted.replayError = JSON.parse(replay.text).error;

    // The authenticator's own counter, to compare with what the gate stored.
    const { credentials } = await cdp.send('WebAuthn.getCredentials', { authenticatorId });
    granted.browserSignCount = credentials.length === 1 ? credentials[0].signCount : -1;
    process.stdout.write(`${JSON.stringify(granted)}\n`);
  } finally {
    await browser.close();
  }
}

main().catch((error) => {
  process.stderr.write(`${error.stack || error}\n`);
  process.exit(1);
});
