// Drives headless Chromium against the web console of a real mdserver on the sample repository:
//   node console_test.js MDSERVER SAMPLE.json ARTEFACT_DIR
// Starts the server with a certificate made here, logs in as two sample users through the login
// page and checks what each sees and may do, the explanation of a cell, a search error's
// position, that data is shown as text and never run, and that a change without the request
// token is refused. Screenshots go to ARTEFACT_DIR. Exits 0 when every check holds.
'use strict';

const { chromium } = require('playwright-core');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');

const [mdserver, sample, artefacts] = process.argv.slice(2);
if (!mdserver || !sample || !artefacts) {
  console.error('usage: node console_test.js MDSERVER SAMPLE.json ARTEFACT_DIR');
  process.exit(2);
}
fs.mkdirSync(artefacts, { recursive: true });

const CANARY = 'canary-Pw-7f3e19';
const ORDERS = { id: 'A0000001.TABLE001', type: 'PhysicalTable' };
let failures = 0;
function check(condition, what) {
  if (condition) {
    console.log('ok   ' + what);
  } else {
    failures++;
    console.log('FAIL ' + what);
  }
}

function startServer(dir) {
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1', '-subj', '/CN=localhost',
    '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem')], { stdio: 'ignore' });
  const log = path.join(dir, 'server.log');
  const server = spawn(mdserver, ['serve', '--repository', path.join(dir, 'repository.db'), '--listen', '127.0.0.1:0',
    '--tls-cert', path.join(dir, 'cert.pem'), '--tls-key', path.join(dir, 'key.pem'), '--seed', sample, '--log', log],
  { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('mdserver did not start listening')), 30000);
    server.on('exit', (code) => reject(new Error('mdserver exited with ' + code)));
    readline.createInterface({ input: server.stdout }).on('line', (line) => {
      const found = /listening on (\S+)/.exec(line);
      if (found) {
        clearTimeout(timer);
        resolve({ server, origin: 'https://' + found[1], log });
      }
    });
  });
}

const opened = [];
async function newPage(browser, origin, name) {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 1280, height: 900 } });
  const page = await context.newPage();
  page.dialogs = [];
  page.on('dialog', async (dialog) => { page.dialogs.push(dialog.message()); await dialog.dismiss(); });
  page.pageErrors = [];
  page.on('pageerror', (error) => page.pageErrors.push(String(error)));
  page.on('console', (message) => {
    if (message.type() === 'error') page.pageErrors.push(message.text());
  });
  opened.push(page);
  page.shot = (file) => page.screenshot({ path: path.join(artefacts, name + '-' + file + '.png'), fullPage: true });
  await page.goto(origin + '/console/');
  return page;
}

async function login(page, user, password) {
  await page.waitForSelector('#login-form');
  await page.fill('#user', user);
  await page.fill('#password', password);
  await page.click('#login-form button[type=submit]');
  await page.waitForFunction((u) => document.getElementById('who').textContent.includes(u), user);
}

// An API call from inside the page, with the page's cookie; csrf: the token to send, or none.
function pageFetch(page, route, body, csrf) {
  return page.evaluate(async ([route, body, csrf]) => {
    const headers = { 'Content-Type': 'application/json' };
    if (csrf) headers['X-Mdserver-Csrf'] = csrf;
    const response = await fetch(route, { method: 'POST', headers, body: JSON.stringify(body), credentials: 'same-origin' });
    return { http: response.status, body: await response.json() };
  }, [route, body, csrf]);
}

async function csrfOf(page) {
  return page.evaluate(async () => (await (await fetch('/v1/console/session')).json()).csrf);
}

async function search(page, query) {
  await page.goto(page.url().split('#')[0] + '#/search?q=' + encodeURIComponent(query));
  await page.waitForSelector('#results > *');
}

async function resultNames(page) {
  return page.$$eval('#results table.objects tr td:first-child', (cells) => cells.map((c) => c.textContent));
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'console-test-'));
  const { server, origin, log } = await startServer(dir);
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  try {
    // -- the headers of the pages and of the API
    const chen = await newPage(browser, origin, 'chen');
    const response = await chen.goto(origin + '/console/');
    const headers = response.headers();
    check(/script-src 'self'/.test(headers['content-security-policy'] || '') &&
          !/unsafe-inline/.test(headers['content-security-policy']) &&
          /frame-ancestors 'none'/.test(headers['content-security-policy']), 'a content security policy without inline script, no framing');
    check(headers['x-content-type-options'] === 'nosniff' && headers['x-frame-options'] === 'DENY', 'nosniff and frame denial');

    // -- a wrong password is refused, and the password goes nowhere
    await chen.waitForSelector('#login-form');
    await chen.fill('#user', 'chen');
    await chen.fill('#password', CANARY);
    await chen.click('#login-form button[type=submit]');
    await chen.waitForSelector('#notice:not([hidden])');
    check((await chen.textContent('#notice')).startsWith('Login refused'), 'a wrong password is refused on the page');

    await login(chen, 'chen', 'chen.pass');
    const cookies = await chen.context().cookies();
    const session = cookies.find((c) => c.name === 'mdserver_session');
    check(session && session.httpOnly && session.secure && session.sameSite === 'Strict',
      'the session cookie is HttpOnly, Secure and SameSite=Strict');
    check(await chen.evaluate(() => !document.cookie.includes('mdserver_session')), 'the page script cannot read the session');

    // -- who sees LEDGER: chen (an administrator) does, bo (an analyst, denied) does not
    await search(chen, "vqsobj:PhysicalTable?@Name='LEDGER'");
    check((await resultNames(chen)).includes('LEDGER'), 'chen finds LEDGER');
    const bo = await newPage(browser, origin, 'bo');
    await login(bo, 'bo', 'bo.pass');
    await search(bo, "vqsobj:PhysicalTable?@Name='LEDGER'");
    check((await bo.textContent('#results')).includes('No object matches'), 'bo does not find LEDGER');
    await bo.goto(origin + '/console/#/repository/A0000001/type/PhysicalTable');
    await bo.waitForSelector('main h1:text-is("PhysicalTable") ~ table.objects');
    const boTables = await bo.$$eval('table.objects td:first-child', (cells) => cells.map((c) => c.textContent));
    check(boTables.includes('ORDERS') && !boTables.includes('LEDGER'), 'bo lists ORDERS but not LEDGER');
    await bo.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE003');
    await bo.waitForFunction(() => /^(No such object|Security of)/.test(document.querySelector('main h1').textContent));
    check((await bo.textContent('main h1')) === 'No such object', 'bo cannot open the security page of LEDGER');
    await bo.shot('ledger-hidden');

    // -- who may read LEDGER, and why
    await chen.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE003');
    await chen.waitForSelector('#matrix');
    const readOf = async (identity) => chen.$eval(`#matrix button[data-identity="${identity}"][data-permission="Read"]`, (b) => b.textContent);
    check((await readOf('Analysts')).includes('denied') && (await readOf('Administrators')).includes('granted'),
      'the matrix shows Read denied to Analysts and granted to Administrators on LEDGER');
    await chen.click('#matrix button[data-identity="Analysts"][data-permission="Read"]');
    await chen.waitForSelector('#explanation .verdict');
    const why = await chen.textContent('#explanation');
    check(why.includes('Read for Analysts: denied') && why.includes('deny Read') && why.includes('LEDGER'),
      'the explanation of a cell names the deny on LEDGER that decides');
    await chen.click('#matrix button[data-identity="Administrators"][data-permission="Read"]');
    await chen.waitForFunction(() => document.querySelector('#explanation .verdict') &&
      document.querySelector('#explanation .verdict').textContent.includes('Administrators'));
    check((await chen.textContent('#explanation')).includes('granted'), 'the Administrators cell explains a grant');
    // Ada is in both groups: the deny and the grant meet on the same level, and the deny wins.
    await chen.selectOption('#ask-identity', { label: 'Ada Field (Person)' });
    await chen.selectOption('#ask-permission', 'Read');
    await chen.click('#ask-form button[type=submit]');
    await chen.waitForFunction(() => document.querySelector('#explanation .verdict') &&
      document.querySelector('#explanation .verdict').textContent.includes('Ada Field'));
    const ada = await chen.textContent('#explanation');
    check(ada.includes('Read for Ada Field: denied') && ada.includes('lost'), 'a person\'s access is explained: Ada\'s grant loses to the deny beside it');
    await chen.click('#matrix button[data-identity="Administrators"][data-permission="Read"]');
    await chen.waitForFunction(() => document.querySelector('#explanation .verdict') &&
      document.querySelector('#explanation .verdict').textContent.includes('Administrators'));
    await chen.shot('who-may-read-ledger');
    await chen.screenshot({ path: path.join(artefacts, 'console.png') });

    // -- another identity's access is explained only to whoever administers the target
    const boWhy = await pageFetch(bo, '/v1/access/explain', { target: 'A0000001.TABLE001', permission: 'Read', identity: 'Administrators' }, await csrfOf(bo));
    check(boWhy.body.status !== 0 && /Administer/.test(boWhy.body.error), 'bo may not have another identity explained');
    const boHidden = await pageFetch(bo, '/v1/access/explain', { target: 'A0000001.TABLE003', permission: 'Read' }, await csrfOf(bo));
    const boNothing = await pageFetch(bo, '/v1/access/explain', { target: 'A0000001.NOSUCH01', permission: 'Read' }, await csrfOf(bo));
    check(boHidden.body.status === boNothing.body.status &&
          boHidden.body.error.replace('TABLE003', 'X') === boNothing.body.error.replace('NOSUCH01', 'X'),
    'LEDGER answers bo exactly as an object that does not exist');

    // -- a refused change is shown as refused and changes nothing
    await bo.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE001');
    await bo.waitForSelector('main h1:has-text("Security of ORDERS") ~ div #change-form');
    await bo.selectOption('#change-identity', { label: 'Bo Lindqvist (Person)' });
    await bo.selectOption('#change-permission', 'Delete');
    await bo.selectOption('#change-decision', 'grant');
    await bo.click('#change-form button[type=submit]');
    await bo.waitForSelector('#notice:not([hidden])');
    const refusal = await bo.textContent('#notice');
    check(refusal.startsWith('Refused') && /Administer/.test(refusal), 'bo\'s grant is shown as refused');
    await bo.shot('change-refused');
    const afterRefusal = await pageFetch(chen, '/v1/operations/repoListAuthorizations', { object: ORDERS, flags: 1 }, await csrfOf(chen));
    check(!afterRefusal.body.authorizations.some((e) => e.identity[0] === 'Bo Lindqvist'), 'the refused grant left no entry');

    // -- an administrator's change goes through and can be taken back
    await chen.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE001');
    await chen.waitForSelector('main h1:has-text("Security of ORDERS") ~ div #change-form');
    await chen.selectOption('#change-identity', { label: 'Bo Lindqvist (Person)' });
    await chen.selectOption('#change-permission', 'Delete');
    await chen.selectOption('#change-decision', 'deny');
    await chen.click('#change-form button[type=submit]');
    await chen.waitForFunction(() => document.getElementById('own-entries') &&
      document.getElementById('own-entries').textContent.includes('Bo Lindqvist'));
    check((await chen.textContent('#own-entries')).includes('deny'), 'chen\'s deny appears among the entries of ORDERS');
    await chen.click('#own-entries tr:has(td:text-is("Bo Lindqvist")) button');
    await chen.waitForFunction(() => !document.getElementById('own-entries') ||
      !document.getElementById('own-entries').textContent.includes('Bo Lindqvist'));
    check(true, 'chen removes it again');

    // -- a template applied from the console
    await chen.goto(origin + '/console/#/security/Document/A0000001.DOC00002');
    await chen.waitForSelector('main h1:has-text("Quarterly Summary") ~ div #template-form');
    await chen.selectOption('#apply-template', { label: 'Sales Tables' });
    await chen.click('#template-form button[type=submit]');
    await chen.waitForSelector('#applied-templates');
    check((await chen.textContent('#applied-templates')).includes('Sales Tables'), 'chen applies a template to a document');
    await chen.goto(origin + '/console/#/templates/A0000001');
    await chen.waitForSelector('#templates');
    check((await chen.textContent('#templates')).includes('Quarterly Summary'), 'the templates page lists where it is applied');

    // -- where a template is applied says nothing of objects the asker may not read
    const onLedger = await pageFetch(chen, '/v1/operations/repoApplyAct', { object: { id: 'A0000001.TABLE003', type: 'PhysicalTable' }, reference: 'Sales Tables' }, await csrfOf(chen));
    const chenSees = await pageFetch(chen, '/v1/templates/applications', { repository: 'A0000001' }, await csrfOf(chen));
    const boSees = await pageFetch(bo, '/v1/templates/applications', { repository: 'A0000001' }, await csrfOf(bo));
    check(onLedger.body.status === 0 && JSON.stringify(chenSees.body).includes('TABLE003') &&
          boSees.body.status === 0 && !JSON.stringify(boSees.body).includes('TABLE003') && !JSON.stringify(boSees.body).includes('LEDGER') &&
          JSON.stringify(boSees.body).includes('TABLE001'),
    'template applications name LEDGER to chen and never to bo');

    // -- CSRF: a change with the cookie but without the request token is refused before it is made
    const noToken = await pageFetch(chen, '/v1/operations/repoSetAuthorization', { object: ORDERS, identity: ['Bo Lindqvist'], permission: 'Read', grantCode: 2 }, null);
    const wrongToken = await pageFetch(chen, '/v1/operations/repoSetAuthorization', { object: ORDERS, identity: ['Bo Lindqvist'], permission: 'Read', grantCode: 2 }, 'f'.repeat(64));
    const opNoToken = await pageFetch(chen, '/v1/operations/setAttribute', { object: { id: 'A0000001.TABLE001', type: 'PhysicalTable' }, name: 'Note', value: 'forged' }, null);
    check(noToken.http === 403 && wrongToken.http === 403 && opNoToken.http === 403, 'changes without the right request token get 403');
    const entriesNow = await pageFetch(chen, '/v1/operations/repoListAuthorizations', { object: ORDERS, flags: 1 }, await csrfOf(chen));
    const noteNow = await pageFetch(chen, '/v1/operations/getAttribute', { object: { id: 'A0000001.TABLE001', type: 'PhysicalTable' }, name: 'Note' }, await csrfOf(chen));
    check(!entriesNow.body.authorizations.some((e) => e.identity[0] === 'Bo Lindqvist') && noteNow.body.value === undefined,
      'the forged requests changed nothing');

    const formLogin = await chen.evaluate(async () => {
      const response = await fetch('/v1/console/login', { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: JSON.stringify({ user: 'bo', password: 'bo.pass' }) });
      const session = await (await fetch('/v1/console/session')).json();
      return { http: response.status, user: session.user };
    });
    check(formLogin.http === 415 && formLogin.user === 'chen', 'a login posted as a form\'s text is refused and leaves the session as it was');

    // -- a search error shows its position under the text
    const broken = "vqsobj:PhysicalTable?@Name='LEDGER' and";
    await search(chen, broken);
    await chen.waitForSelector('#query-error');
    const message = await chen.textContent('#query-error p');
    const position = Number((/at position (\d+)/.exec(message) || [])[1]);
    const caret = await chen.textContent('#query-error pre.caret');
    check(position > 30 && position <= broken.length + 1 && caret === ' '.repeat(position - 1) + '^',
      'the caret stands under the position the server names (' + position + ')');
    await chen.shot('search-error');

    // -- data is text: object names, attributes and association names that are markup never run
    const csrf = await csrfOf(chen);
    const hostile = '<img src=x onerror=alert(1)>';
    const hostile2 = '<script>alert(2)</script>"\'&amp;';
    const created = await pageFetch(chen, '/v1/operations/newObject', { type: 'Document', name: hostile, description: hostile2, repository: 'A0000001' }, csrf);
    check(created.body.status === 0, 'an object named with markup is created');
    const object = { id: created.body.id, type: 'Document' };
    await pageFetch(chen, '/v1/operations/setAttribute', { object, name: 'Title', value: hostile2 }, csrf);
    const linked = await pageFetch(chen, '/v1/operations/setAssociation', { object: { id: 'A0000001.TREE0004', type: 'Tree' }, name: 'Members', flag: 2, targets: [object] }, csrf);
    check(linked.body.status === 0, 'the markup object becomes a member of Reports');
    await chen.goto(origin + '/console/#/object/Document/' + encodeURIComponent(created.body.id));
    await chen.waitForSelector('#graph svg');
    check((await chen.textContent('#object-name')) === hostile, 'the name shows as the text it is');
    check((await chen.textContent('main')).includes(hostile2), 'the attribute shows as the text it is');
    await search(chen, "vqsobj:Document?contains(@Name,'<img')");
    check((await resultNames(chen)).includes(hostile), 'search results show the name as text');
    await chen.goto(origin + '/console/#/object/Tree/A0000001.TREE0004');
    await chen.waitForSelector('#graph svg');
    const memberLinks = await chen.$$eval('main table a', (links) => links.map((a) => a.textContent));
    check(memberLinks.includes(hostile) && memberLinks.includes('Quarterly Summary'), 'associations show as links, the markup one as text');
    await chen.goto(origin + '/console/#/object/Tree/A0000001.TREE0002');
    await chen.waitForSelector('main h1:has-text("Sales") ~ #graph svg');
    const graphLabels = await chen.$$eval('#graph svg a text', (labels) => labels.map((t) => t.textContent));
    check(graphLabels.includes('Reports') && graphLabels.includes('ORDERS') && graphLabels.includes(hostile.slice(0, 28)) &&
          graphLabels.includes('ORDER_ID'), 'the neighbourhood reaches two steps out, the markup name as text');
    check(await chen.evaluate(() => document.querySelectorAll('main img, main script').length === 0), 'no markup of the data became an element');
    check(chen.dialogs.length === 0 && bo.dialogs.length === 0, 'no script of the data ran');
    await chen.shot('escaping');

    const scriptErrors = chen.pageErrors.concat(bo.pageErrors).filter((e) => !/Failed to load resource/.test(e));
    check(scriptErrors.length === 0, 'no script error on the pages ' + scriptErrors.join(' | '));

    // -- the exact list of who may read LEDGER, and the audit trail: both for administrators only
    await chen.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE003');
    await chen.waitForSelector('#who-form');
    await chen.selectOption('#who-permission', 'Read');
    await chen.click('#who-form button[type=submit]');
    await chen.waitForSelector('#who-table');
    const mayRead = await chen.$$eval('#who-table td:first-child', (cells) => cells.map((c) => c.textContent));
    check(mayRead.includes('Administrators') && mayRead.includes('Chen O\'Hara') && !mayRead.includes('Analysts') &&
          !mayRead.includes('Ada Field'), 'who may read LEDGER lists Administrators and Chen, not the denied Analysts or Ada');
    await bo.goto(origin + '/console/#/security/PhysicalTable/A0000001.TABLE001');
    await bo.waitForSelector('#who-form');
    await bo.click('#who-form button[type=submit]');
    await bo.waitForSelector('#who-answer .failure');
    check(/Administer/.test(await bo.textContent('#who-answer')), 'bo may not ask who may use ORDERS: the refusal says why');
    await chen.goto(origin + '/console/#/audit?outcome=refused');
    await chen.waitForSelector('#audit-table');
    const refusedUsers = await chen.$$eval('#audit-table tr.refused td:nth-child(2)', (cells) => cells.map((c) => c.textContent));
    check(refusedUsers.includes('bo'), 'the audit trail shows bo\'s refused requests to an administrator');
    const auditText = await chen.textContent('#audit-table');
    check(!auditText.includes(CANARY) && !auditText.includes('bo.pass'), 'no password in the audit trail page');
    await chen.shot('audit');
    await bo.goto(origin + '/console/#/audit');
    await bo.waitForSelector('main .failure');
    check(!(await bo.$('#audit-table')), 'bo, who administers nothing, is shown no audit record');

    // -- logging out ends the session on the server
    await chen.click('#logout');
    await chen.waitForSelector('#login-form');
    const gone = await chen.evaluate(async () => (await fetch('/v1/console/session')).json());
    check(gone.authenticated === false || gone.authenticated === undefined, 'after logging out the cookie acts for nobody');
  } catch (error) {
    // What each page showed when a step gave up.
    for (const page of opened) await page.shot('failure').catch(() => {});
    throw error;
  } finally {
    await browser.close();
    server.kill('SIGTERM');
    await new Promise((resolve) => server.on('exit', resolve));
  }
  const logText = fs.readFileSync(log, 'utf8');
  check(!logText.includes(CANARY) && !logText.includes('chen.pass') && !logText.includes('bo.pass'),
    'no password reaches the server log');
  fs.copyFileSync(log, path.join(artefacts, 'server.log'));
  fs.rmSync(dir, { recursive: true, force: true });
}

main().then(() => {
  console.log(failures ? failures + ' check(s) failed' : 'every check held');
  process.exit(failures ? 1 : 0);
}, (error) => {
  console.error(error);
  process.exit(1);
});
