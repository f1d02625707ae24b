// The web console: pages over the server's documented routes. Every datum reaches the page as
// text (textContent, attribute values set one by one); no markup is ever built from data.
'use strict';

const state = { user: '', csrf: '', permissions: [] };
const PAGE_SIZE = 20;

// ---- building the page --------------------------------------------------------------------------

// h('a', {href: '#/x', class: 'y'}, 'text', childNode, ...): strings become text nodes.
function h(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// Pages load asynchronously: a page shows its content only while it is still the page asked for,
// so a slow answer for an earlier page never covers a later one.
let routeCount = 0;
function currentRoute() {
  const mine = routeCount;
  return (...nodes) => {
    if (mine === routeCount) document.getElementById('main').replaceChildren(...nodes.flat(Infinity).filter((n) => n !== null && n !== undefined && n !== false));
  };
}

function notice(text, kind) {
  const box = document.getElementById('notice');
  if (!text) { box.hidden = true; box.textContent = ''; return; }
  box.hidden = false;
  box.className = kind || 'error';
  box.textContent = text;
}

function hexStatus(status) {
  return '0x' + (Number(status) >>> 0).toString(16).toUpperCase();
}

function link(hash, text) { return h('a', { href: hash }, text); }
function enc(text) { return encodeURIComponent(text); }
function objectHash(o) { return '#/object/' + enc(o.type) + '/' + enc(o.id); }
function securityHash(type, id) { return '#/security/' + enc(type) + '/' + enc(id); }

// ---- the API --------------------------------------------------------------------------------------

class ApiError extends Error {
  constructor(message, status, http) { super(message); this.status = status; this.http = http; }
}

async function request(method, path, body) {
  const headers = {};
  if (method !== 'GET') {
    headers['Content-Type'] = 'application/json';
    if (state.csrf) headers['X-Mdserver-Csrf'] = state.csrf;
  }
  const response = await fetch(path, {
    method, headers, credentials: 'same-origin',
    body: method === 'GET' ? undefined : JSON.stringify(body || {}),
  });
  let answer = {};
  try { answer = await response.json(); } catch (e) { answer = { error: 'the server sent no JSON' }; }
  if (response.status === 401 && path !== '/v1/console/login') {
    state.user = ''; state.csrf = '';
    showWho();
    location.hash = '#/login';
  }
  if (!response.ok) throw new ApiError(answer.error || ('HTTP ' + response.status), answer.status, response.status);
  return answer;
}

// An operation or console route whose answer carries the interface's status: a failure throws.
async function call(path, body) {
  const answer = await request('POST', path, body);
  if (answer.status !== 0) throw new ApiError(answer.error || 'failed', answer.status, 200);
  return answer;
}
const op = (name, args) => call('/v1/operations/' + name, args);

function failure(error, context) {
  const text = (context ? context + ': ' : '') + error.message +
    (error.status ? ' (status ' + hexStatus(error.status) + ')' : '');
  return h('p', { class: 'failure' }, text);
}

// ---- session --------------------------------------------------------------------------------------

function showWho() {
  document.getElementById('who').textContent = state.user ? 'Signed in as ' + state.user : 'Not signed in';
  document.getElementById('logout').hidden = !state.user;
}

async function loadSession() {
  try {
    const session = await request('GET', '/v1/console/session');
    state.user = session.authenticated ? session.user : '';
    state.csrf = session.csrf || '';
  } catch (e) {
    state.user = ''; state.csrf = '';
  }
  showWho();
}

function loginPage() {
  const show = currentRoute();
  const user = h('input', { id: 'user', name: 'user', autocomplete: 'username', required: true });
  const password = h('input', { id: 'password', name: 'password', type: 'password', autocomplete: 'current-password', required: true });
  const form = h('form', { class: 'login', id: 'login-form' },
    h('h1', {}, 'Log in'),
    h('label', { for: 'user' }, 'User'), user,
    h('label', { for: 'password' }, 'Password'), password,
    h('button', { type: 'submit' }, 'Log in'));
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    try {
      const answer = await request('POST', '/v1/console/login', { user: user.value, password: password.value });
      state.user = answer.user; state.csrf = answer.csrf;
      password.value = '';
      showWho();
      notice('');
      location.hash = '#/repositories';
    } catch (e) {
      password.value = '';
      notice('Login refused: ' + e.message);
    }
  });
  show(form, h('p', { class: 'muted' }, 'Or ', link('#/repositories', 'browse without logging in'),
    ' (what Everybody may read).'));
  user.focus();
}

async function logout() {
  try { await request('POST', '/v1/console/logout', {}); } catch (e) { /* over anyway */ }
  state.user = ''; state.csrf = '';
  showWho();
  location.hash = '#/login';
}

// ---- browsing -------------------------------------------------------------------------------------

async function repositoriesPage() {
  const show = currentRoute();
  const answer = await op('listRepositories', {});
  show(h('h1', {}, 'Repositories'),
    h('table', {}, h('tr', {}, h('th', {}, 'Name'), h('th', {}, 'Identifier'), h('th', {}, 'Description'), h('th', {}, '')),
      answer.repositories.map((r) => h('tr', {},
        h('td', {}, link('#/repository/' + enc(r.id), r.name)), h('td', {}, r.id), h('td', {}, r.description),
        h('td', {}, link(securityHash('Repository', r.id), 'security'), ' ', link('#/templates/' + enc(r.id), 'templates'))))));
}

async function repositoryPage(id) {
  const show = currentRoute();
  const [repositories, namespace] = await Promise.all([op('listRepositories', {}), op('getNamespace', { name: 'RUX' })]);
  const repository = repositories.repositories.find((r) => r.id === id) || { id, name: id };
  show(h('div', { class: 'crumbs' }, link('#/repositories', 'Repositories'), '›'),
    h('h1', {}, repository.name),
    h('p', {}, link(securityHash('Repository', id), 'Security of this repository'), ' · ',
      link('#/templates/' + enc(id), 'Its templates')),
    h('h2', {}, 'Types'),
    h('ul', {}, namespace.types.map((t) => h('li', {}, link('#/repository/' + enc(id) + '/type/' + enc(t), t)))));
}

function pager(page, count, hashOf) {
  const pages = Math.max(1, Math.ceil(count / PAGE_SIZE));
  return h('div', { class: 'pager' },
    page > 1 ? link(hashOf(page - 1), '‹ Previous') : h('span', { class: 'muted' }, '‹ Previous'),
    h('span', {}, 'Page ' + page + ' of ' + pages + ' (' + count + ' objects)'),
    page < pages ? link(hashOf(page + 1), 'Next ›') : h('span', { class: 'muted' }, 'Next ›'));
}

function objectTable(objects) {
  return h('table', { class: 'objects' },
    h('tr', {}, h('th', {}, 'Name'), h('th', {}, 'Type'), h('th', {}, 'Identifier'), h('th', {}, 'Description')),
    objects.map((o) => h('tr', {}, h('td', {}, link(objectHash(o), o.name || o.id)), h('td', {}, o.type),
      h('td', {}, o.id), h('td', {}, o.description))));
}

async function typePage(repository, type, page) {
  const show = currentRoute();
  const query = 'vqsobj:' + type + '?not(@Id=\'\')';
  const answer = await op('resolveInRepository', { repository, query });
  const objects = answer.objects || [];
  const shown = objects.slice((page - 1) * PAGE_SIZE, page * PAGE_SIZE);
  const hashOf = (p) => '#/repository/' + enc(repository) + '/type/' + enc(type) + '?page=' + p;
  show(h('div', { class: 'crumbs' }, link('#/repositories', 'Repositories'), '›',
      link('#/repository/' + enc(repository), repository), '›'),
    h('h1', {}, type),
    objects.length ? [pager(page, objects.length, hashOf), objectTable(shown)]
      : h('p', { class: 'muted' }, 'No object of this type that you may read.'));
}

// ---- search ---------------------------------------------------------------------------------------

// The interface names the position of a malformed query ("... at position N: ..."): the text is
// shown with a caret under that character.
function queryError(text, error) {
  const found = /at position (\d+)/.exec(error.message);
  const box = h('div', { class: 'query-error', id: 'query-error' }, h('p', {}, error.message));
  if (found) {
    const position = Number(found[1]);
    box.append(h('pre', { class: 'query-text' }, text),
      h('pre', { class: 'caret' }, ' '.repeat(Math.max(0, position - 1)) + '^'));
  }
  return box;
}

async function searchPage(text, page) {
  const show = currentRoute();
  const input = h('input', { id: 'query', size: 70, value: text, placeholder: "vqsobj:PhysicalTable?@Name='LEDGER'" });
  const form = h('form', { class: 'inline', id: 'search-form' }, input, h('button', { type: 'submit' }, 'Search'));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    location.hash = '#/search?q=' + enc(input.value);
  });
  const result = h('div', { id: 'results' });
  show(h('h1', {}, 'Search'), form,
    h('p', { class: 'muted' }, "An object URI: vqsobj:TYPE?COND, e.g. vqsobj:PhysicalTable?contains(@Name,'ER')"), result);
  if (!text) return;
  try {
    const answer = await op('resolveUri', { uri: text });
    const objects = answer.objects || [];
    const hashOf = (p) => '#/search?q=' + enc(text) + '&page=' + p;
    result.replaceChildren(pager(page, objects.length, hashOf),
      objectTable(objects.slice((page - 1) * PAGE_SIZE, page * PAGE_SIZE)));
  } catch (e) {
    if (e.status === 0x801720DE) result.replaceChildren(h('p', {}, 'No object matches.'));
    else result.replaceChildren(queryError(text, e));
  }
}

// ---- objects --------------------------------------------------------------------------------------

async function associationsOf(object) {
  const names = (await op('listAssociationNames', { object })).names || [];
  const lists = await Promise.all(names.map((name) => op('getAssociation', { object, name })
    .then((a) => a.objects || [], () => [])));
  return names.map((name, i) => ({ name, objects: lists[i] }));
}

async function objectPage(type, id) {
  const show = currentRoute();
  const found = await op('resolveUri', { uri: 'vqsobj:' + type + '\\' + id }).catch(() => null);
  const object = found && found.objects && found.objects[0];
  if (!object) {
    show(h('h1', {}, 'No such object'), h('p', {}, 'There is no object ' + id + ' of type ' + type + ' that you may read.'));
    return;
  }
  const [attributes, properties, associations] = await Promise.all([
    op('listAttributes', { object }).then((a) => a.attributes || []),
    op('listProperties', { object }).then((a) => a.properties || []),
    associationsOf(object)]);
  const graph = h('div', { id: 'graph' }, h('p', { class: 'muted' }, 'Drawing the neighbourhood…'));
  show(h('div', { class: 'crumbs' }, link('#/repositories', 'Repositories'), '›',
      link('#/repository/' + enc(object.id.slice(0, 8)), object.id.slice(0, 8)), '›',
      link('#/repository/' + enc(object.id.slice(0, 8)) + '/type/' + enc(object.type), object.type), '›'),
    h('h1', { id: 'object-name' }, object.name || object.id),
    h('p', {}, object.type + ' · ' + object.id + (object.description ? ' · ' + object.description : '')),
    h('p', {}, link(securityHash(object.type, object.id), 'Security: who may do what, and why')),
    h('h2', {}, 'Attributes'),
    attributes.length ? h('table', {}, attributes.map(([n, v]) => h('tr', {}, h('th', {}, n), h('td', {}, v))))
      : h('p', { class: 'muted' }, 'None.'),
    h('h2', {}, 'Properties'),
    properties.length ? h('table', {}, properties.map(([n, v]) => h('tr', {}, h('th', {}, n), h('td', {}, v))))
      : h('p', { class: 'muted' }, 'None.'),
    h('h2', {}, 'Associations'),
    associations.length ? h('table', {}, associations.map((a) => h('tr', {}, h('th', {}, a.name),
      h('td', {}, a.objects.length ? a.objects.map((o, i) => [i ? ', ' : '', link(objectHash(o), o.name || o.id)])
        : h('span', { class: 'muted' }, 'none you may read')))))
      : h('p', { class: 'muted' }, 'None.'),
    h('h2', {}, 'Neighbourhood'), graph);
  drawNeighbourhood(graph, object, associations);
}

// The objects two association steps out, at most 40, drawn on rings around the object.
async function drawNeighbourhood(container, centre, firstAssociations) {
  const nodes = new Map([[centre.id, { object: centre, depth: 0 }]]);
  const edges = [];
  let frontier = [[centre, firstAssociations]];
  for (let depth = 1; depth <= 2 && frontier.length; depth++) {
    const next = [];
    for (const [from, associations] of frontier) {
      for (const a of associations) {
        for (const o of a.objects) {
          if (!nodes.has(o.id)) {
            if (nodes.size >= 40) continue;
            nodes.set(o.id, { object: o, depth });
            if (depth < 2) next.push(o);
          }
          if (!edges.some((e) => (e.from === o.id && e.to === from.id) || (e.from === from.id && e.to === o.id))) {
            edges.push({ from: from.id, to: o.id, name: a.name });
          }
        }
      }
    }
    frontier = await Promise.all(next.map(async (o) => [o, await associationsOf(o).catch(() => [])]));
  }
  const size = 640, middle = size / 2;
  const rings = [[], [], []];
  for (const node of nodes.values()) rings[node.depth].push(node);
  rings.forEach((ring, depth) => ring.forEach((node, i) => {
    const angle = (2 * Math.PI * i) / Math.max(1, ring.length) + depth * 0.4;
    node.x = middle + depth * 130 * Math.cos(angle);
    node.y = middle + depth * 130 * Math.sin(angle);
  }));
  const ns = 'http://www.w3.org/2000/svg';
  const svg = (tag, attributes, text) => {
    const node = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attributes)) node.setAttribute(k, String(v));
    if (text !== undefined) node.textContent = text;
    return node;
  };
  const picture = svg('svg', { class: 'graph', viewBox: '0 0 ' + size + ' ' + size, width: size, height: size, role: 'img' });
  picture.append(svg('title', {}, 'Objects up to two association steps from ' + (centre.name || centre.id)));
  for (const e of edges) {
    const a = nodes.get(e.from), b = nodes.get(e.to);
    if (!a || !b) continue;
    picture.append(svg('line', { x1: a.x, y1: a.y, x2: b.x, y2: b.y }));
    picture.append(svg('text', { class: 'edge', x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 }, e.name));
  }
  for (const node of nodes.values()) {
    const anchor = svg('a', { href: objectHash(node.object) });
    anchor.append(svg('circle', { cx: node.x, cy: node.y, r: node.depth ? 7 : 10, class: node.depth ? '' : 'centre' }),
      svg('text', { x: node.x + 11, y: node.y + 4 }, (node.object.name || node.object.id).slice(0, 28)));
    picture.append(anchor);
  }
  container.replaceChildren(picture,
    h('p', { class: 'muted' }, nodes.size + ' objects, ' + edges.length + ' associations (only what you may read).'));
}

// ---- security -------------------------------------------------------------------------------------

function targetName(type, id, object) {
  return (object && object.name ? object.name + ' (' + id + ')' : id);
}

// Views of the authorization listing (the interface's flags) and its entry codes.
const VIEW_BEARING = 0, VIEW_EFFECTIVE = 2;
const DECISIONS = { 34: 'granted', 33: 'denied', 32: 'no entry', 2: 'grant', 1: 'deny', 18: 'inherited grant', 17: 'inherited deny' };

async function accessList(object, flags) {
  const answer = await op('repoListAuthorizations', { object, flags });
  return (answer.authorizations || []).map((e) => ({
    identity: { name: e.identity[0] || '', type: e.identity[1] || '', id: e.identity[2] || '' },
    code: e.code, decision: DECISIONS[e.code] || String(e.code), permission: e.permission, source: e.condition,
  }));
}

async function identitiesOf(repository) {
  const answer = await op('repoListIdentities', { object: { id: repository, type: 'Repository' } });
  return (answer.identities || []).map((i) => ({ name: i[0], type: i[1], id: i[2] }));
}

// The templates of a repository, each with where it is applied (among what the caller may read).
async function templatesOf(repository) {
  const [acts, applications] = await Promise.all([
    op('repoListActs', { object: { id: repository, type: 'Repository' } }),
    call('/v1/templates/applications', { repository })]);
  return (acts.acts || []).map((t) => ({
    id: t[0], name: t[1], description: t[2], repository: t[4],
    appliedTo: applications.applications.filter((a) => a.template === t[0]),
  }));
}

async function securityPage(type, id) {
  const show = currentRoute();
  const isRepository = type === 'Repository';
  const repositoryId = id.slice(0, 8);
  const found = isRepository ? await op('listRepositories', {}).then((a) => a.repositories.find((r) => r.id === id))
    : await op('resolveUri', { uri: 'vqsobj:' + type + '\\' + id }).then((a) => a.objects && a.objects[0], () => null);
  if (!found) {
    show(h('h1', {}, 'No such object'), h('p', {}, 'There is nothing named ' + id + ' that you may read.'));
    return;
  }
  const target = { id, type };
  const [effective, bearing, templates, everyone] = await Promise.all([
    accessList(target, VIEW_EFFECTIVE), accessList(target, VIEW_BEARING),
    templatesOf(repositoryId).catch(() => []),
    identitiesOf(repositoryId).catch(() => [])]);
  const permissions = [...new Set(effective.map((e) => e.permission))];
  const identities = [];
  for (const e of effective) {
    if (!identities.some((i) => i.id === e.identity.id)) identities.push(e.identity);
  }
  const explanation = h('div', { id: 'explanation', class: 'explanation', hidden: true });
  const cellOf = (identity, permission) => effective.find((e) => e.identity.id === identity.id && e.permission === permission);
  const matrix = h('table', { id: 'matrix' },
    h('tr', {}, h('th', {}, 'Identity'), permissions.map((p) => h('th', {}, p))),
    identities.map((identity) => h('tr', {},
      h('th', {}, identity.name, h('div', { class: 'muted' }, identity.type)),
      permissions.map((p) => {
        const cell = cellOf(identity, p);
        const kind = cell.decision === 'granted' ? 'granted' : cell.decision === 'denied' ? 'denied' : 'none';
        const button = h('button', { type: 'button', class: kind, 'data-identity': identity.name, 'data-permission': p },
          kind === 'granted' ? '✓ granted' : kind === 'denied' ? '✗ denied' : '– no entry');
        button.addEventListener('click', () => {
          for (const b of matrix.querySelectorAll('button.selected')) b.classList.remove('selected');
          button.classList.add('selected');
          explain(explanation, id, identity, p);
        });
        return h('td', { class: 'cell' }, button);
      }))));
  const own = bearing.filter((e) => e.source === '');
  const inherited = bearing.filter((e) => e.source !== '');
  const appliedHere = templates.filter((t) => t.appliedTo.some((a) => a.id === id));
  const entryTable = (entries, removable) => entries.length ? h('table', { id: removable ? 'own-entries' : 'inherited-entries' },
    h('tr', {}, h('th', {}, 'Identity'), h('th', {}, 'Permission'), h('th', {}, 'Entry'), h('th', {}, removable ? '' : 'From')),
    entries.map((e) => h('tr', {}, h('td', {}, e.identity.name), h('td', {}, e.permission), h('td', {}, e.decision),
      h('td', {}, removable ? h('button', { type: 'button', onclick: () => change(target, e.identity, e.permission, 'remove') }, 'Remove')
        : e.source))))
    : h('p', { class: 'muted' }, 'None.');
  show(h('div', { class: 'crumbs' }, link('#/repositories', 'Repositories'), '›',
      isRepository ? link('#/repository/' + enc(id), found.name) : link(objectHash(found), found.name || id), '›'),
    h('h1', {}, 'Security of ' + targetName(type, id, found)),
    h('h2', {}, 'Effective access'),
    h('p', { class: 'muted' }, 'Every identity with an entry on any level that bears on this ' + (isRepository ? 'repository' : 'object') +
      ', by permission, as the server decides it. Select a cell to see why.'),
    identities.length ? matrix : h('p', { class: 'muted' }, 'No identity has an entry here.'),
    askForm(explanation, id, everyone, permissions),
    explanation,
    whoSection(id, permissions),
    h('h2', {}, 'Entries on this ' + (isRepository ? 'repository' : 'object')), entryTable(own, true),
    h('h2', {}, 'Entries from further out (templates, repository)'), entryTable(inherited, false),
    h('h2', {}, 'Templates applied here'),
    appliedHere.length ? h('ul', { id: 'applied-templates' }, appliedHere.map((t) => h('li', {}, t.name + ' (' + t.id + ') ',
      h('button', { type: 'button', onclick: () => applyTemplate(target, t.id, true) }, 'Remove'))))
      : h('p', { class: 'muted' }, 'None.'),
    changeForms(target, everyone, permissions, templates));
}

async function explain(box, target, identity, permission) {
  box.hidden = false;
  box.replaceChildren(h('p', { class: 'muted' }, 'Asking the server…'));
  try {
    const answer = await call('/v1/access/explain', { target, permission, identity: identity.id });
    box.replaceChildren(
      h('p', { class: 'verdict' }, permission + ' for ' + identity.name + ': ' + (answer.granted ? 'granted' : 'denied')),
      h('p', {}, answer.summary),
      answer.steps.length ? h('table', {}, h('tr', {}, h('th', {}, 'Level'), h('th', {}, 'Held by'), h('th', {}, 'Entry for'),
        h('th', {}, 'Entry'), h('th', {}, 'Role')),
      answer.steps.map((s) => h('tr', {}, h('td', {}, s.level), h('td', {}, s.sourceName + ' (' + s.source + ')'),
        h('td', {}, s.identityName), h('td', {}, (s.grant ? 'grant ' : 'deny ') + s.permission), h('td', {}, s.role))))
        : h('p', { class: 'muted' }, 'No entry for this identity or its groups on any level.'));
  } catch (e) {
    box.replaceChildren(h('p', { class: 'refused' }, 'The server refused the explanation: ' + e.message));
  }
}

const GRANT_CODES = { grant: 2, deny: 1, remove: 0 };

async function change(target, identity, permission, decision) {
  try {
    await op('repoSetAuthorization', { object: target, identity: [identity.id, identity.type], permission, grantCode: GRANT_CODES[decision] });
    notice('Done: ' + decision + ' ' + permission + ' for ' + identity.name + '.', 'ok');
    route();
  } catch (e) {
    notice('Refused: ' + e.message);
  }
}

async function applyTemplate(target, template, remove) {
  try {
    await op(remove ? 'repoRemoveAct' : 'repoApplyAct', { object: target, reference: template });
    notice((remove ? 'Removed' : 'Applied') + ' template ' + template + '.', 'ok');
    route();
  } catch (e) {
    notice('Refused: ' + e.message);
  }
}

// Any identity, a person among them, not only those with entries: what would the server decide?
function askForm(box, target, identities, permissions) {
  const identity = h('select', { id: 'ask-identity' }, identities.map((i) => h('option', { value: i.id }, i.name + ' (' + i.type + ')')));
  const permission = h('select', { id: 'ask-permission' }, permissions.map((p) => h('option', { value: p }, p)));
  const form = h('form', { class: 'inline', id: 'ask-form' }, 'Ask about any identity:', identity, permission, h('button', { type: 'submit' }, 'Explain'));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const chosen = identities.find((i) => i.id === identity.value);
    if (chosen) explain(box, target, chosen, permission.value);
  });
  return identities.length && permissions.length ? form : null;
}

function changeForms(target, identities, permissions, templates) {
  const identity = h('select', { id: 'change-identity' }, identities.map((i) => h('option', { value: i.id }, i.name + ' (' + i.type + ')')));
  const permission = h('select', { id: 'change-permission' }, permissions.map((p) => h('option', { value: p }, p)));
  const decision = h('select', { id: 'change-decision' }, ['grant', 'deny', 'remove'].map((d) => h('option', { value: d }, d)));
  const entryForm = h('form', { class: 'inline', id: 'change-form' }, identity, permission, decision, h('button', { type: 'submit' }, 'Change'));
  entryForm.addEventListener('submit', (event) => {
    event.preventDefault();
    const chosen = identities.find((i) => i.id === identity.value);
    if (chosen) change(target, chosen, permission.value, decision.value);
  });
  const template = h('select', { id: 'apply-template' }, templates.map((t) => h('option', { value: t.id }, t.name)));
  const templateForm = h('form', { class: 'inline', id: 'template-form' }, template, h('button', { type: 'submit' }, 'Apply template'));
  templateForm.addEventListener('submit', (event) => {
    event.preventDefault();
    applyTemplate(target, template.value, false);
  });
  return h('div', {}, h('h2', {}, 'Change'),
    h('p', { class: 'muted' }, 'Changes need Administer here; the server decides and says so when it refuses.'),
    entryForm, templates.length ? templateForm : null);
}

// Every identity that holds a permission here, exactly (the server's reverse question, paged
// by its cursor until the end): it needs Administer on the target, and says so when refused.
function whoSection(target, permissions) {
  if (!permissions.length) return null;
  const permission = h('select', { id: 'who-permission' }, permissions.map((p) => h('option', { value: p }, p)));
  const answer = h('div', { id: 'who-answer' });
  const form = h('form', { class: 'inline', id: 'who-form' }, 'Everyone who may', permission, h('button', { type: 'submit' }, 'List'));
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    answer.replaceChildren(h('p', { class: 'muted' }, 'Asking the server…'));
    try {
      const rows = [];
      let cursor = '';
      do {
        const page = await call('/v1/who', { target, permission: permission.value, cursor, limit: 100 });
        rows.push(...page.identities);
        cursor = page.cursor;
      } while (cursor);
      answer.replaceChildren(rows.length ? h('table', { id: 'who-table' },
        h('tr', {}, h('th', {}, 'Identity'), h('th', {}, 'Kind'), h('th', {}, 'Deciding entry'), h('th', {}, 'Level')),
        rows.map((r) => h('tr', {}, h('td', {}, r.name), h('td', {}, r.type), h('td', {}, r.decidingEntry || r.decision), h('td', {}, r.decidingLevel))))
        : h('p', { class: 'muted' }, 'Nobody you may see.'));
    } catch (e) {
      answer.replaceChildren(failure(e, 'who'));
    }
  });
  return h('div', {}, h('h2', {}, 'Who may, exactly'),
    h('p', { class: 'muted' }, 'Every person, group and role that holds the permission here, with the entry that decided (needs Administer here).'),
    form, answer);
}

// The audit trail of the repositories the user administers, newest filters first; paged by key.
async function auditPage(params) {
  const show = currentRoute();
  const filter = {};
  for (const name of ['user', 'object', 'outcome']) if (params.get(name)) filter[name] = params.get(name);
  const after = parseInt(params.get('after') || '0', 10) || 0;
  const field = (name, label) => h('label', {}, label, h('input', { name, id: 'audit-' + name, value: params.get(name) || '' }));
  const outcome = h('select', { name: 'outcome', id: 'audit-outcome' }, ['', 'allowed', 'refused', 'failed'].map((o) =>
    h('option', { value: o, selected: (params.get('outcome') || '') === o }, o || 'any outcome')));
  const form = h('form', { class: 'inline', id: 'audit-form' }, field('user', 'User '), field('object', 'Object '), outcome, h('button', { type: 'submit' }, 'Filter'));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const q = new URLSearchParams();
    for (const name of ['user', 'object', 'outcome']) if (form.elements[name].value) q.set(name, form.elements[name].value);
    location.hash = '#/audit?' + q.toString();
  });
  let body;
  try {
    const answer = await call('/v1/audit', Object.assign({ after, limit: 50 }, filter));
    const records = answer.records;
    const next = new URLSearchParams(params);
    if (records.length) next.set('after', String(records[records.length - 1].key));
    body = [records.length ? h('table', { id: 'audit-table' },
      h('tr', {}, ['Time', 'User', 'Operation', 'Target', 'Permission', 'Outcome', 'Status', 'Deciding entry', 'Level', 'Count'].map((t) => h('th', {}, t))),
      records.map((r) => h('tr', { class: r.outcome }, h('td', {}, r.time), h('td', {}, r.user || '(local administrator)'), h('td', {}, r.operation),
        h('td', {}, r.target), h('td', {}, r.permission), h('td', {}, r.outcome), h('td', {}, hexStatus(r.code)),
        h('td', {}, r.decidingEntry || r.decision), h('td', {}, r.decidingLevel), h('td', {}, String(r.count)))))
      : h('p', { class: 'muted' }, 'No record matches.'),
      answer.more ? h('p', {}, link('#/audit?' + next.toString(), 'Next ›')) : null];
  } catch (e) {
    body = failure(e, 'audit trail');
  }
  show(h('h1', {}, 'Audit trail'),
    h('p', { class: 'muted' }, 'Changes, refusals and logins in the repositories you administer (reads are not recorded one by one).'),
    form, body);
}

async function templatesPage(repository) {
  const show = currentRoute();
  const repositories = (await op('listRepositories', {})).repositories;
  const chosen = repository || (repositories[0] && repositories[0].id) || '';
  const templates = await templatesOf(chosen);
  show(h('h1', {}, 'Access control templates'),
    h('p', {}, 'Repository: ', repositories.map((r, i) => [i ? ' · ' : '', r.id === chosen ? h('strong', {}, r.name) : link('#/templates/' + enc(r.id), r.name)])),
    templates.length ? h('table', { id: 'templates' },
      h('tr', {}, h('th', {}, 'Template'), h('th', {}, 'Description'), h('th', {}, 'Applied to')),
      templates.map((t) => h('tr', {}, h('td', {}, link(securityHash('AccessControlTemplate', t.id), t.name), h('div', { class: 'muted' }, t.id)),
        h('td', {}, t.description),
        h('td', {}, t.appliedTo.length ? t.appliedTo.map((a, i) => [i ? ', ' : '',
          link(a.type === 'Repository' ? securityHash('Repository', a.id) : securityHash(a.type, a.id), a.name)])
          : h('span', { class: 'muted' }, 'nowhere you may read')))))
      : h('p', { class: 'muted' }, 'No template you may read.'));
}

// ---- routing --------------------------------------------------------------------------------------

async function route() {
  ++routeCount;
  const show = currentRoute();
  const hash = location.hash || '#/repositories';
  const cut = hash.indexOf('?');
  const path = cut < 0 ? hash.slice(1) : hash.slice(1, cut);
  const query = cut < 0 ? '' : hash.slice(cut + 1);
  const params = new URLSearchParams(query || '');
  const page = Math.max(1, parseInt(params.get('page') || '1', 10) || 1);
  const parts = path.split('/').filter(Boolean).map(decodeURIComponent);
  try {
    if (parts[0] === 'login') return loginPage();
    if (parts[0] === 'repository' && parts[2] === 'type') return await typePage(parts[1], parts[3], page);
    if (parts[0] === 'repository') return await repositoryPage(parts[1]);
    if (parts[0] === 'search') return await searchPage(params.get('q') || '', page);
    if (parts[0] === 'object') return await objectPage(parts[1], parts[2]);
    if (parts[0] === 'security') return await securityPage(parts[1], parts[2]);
    if (parts[0] === 'templates') return await templatesPage(parts[1]);
    if (parts[0] === 'audit') return await auditPage(params);
    return await repositoriesPage();
  } catch (e) {
    show(h('h1', {}, 'The page could not be shown'), failure(e));
  }
}

window.addEventListener('hashchange', () => { notice(''); route(); });
document.getElementById('logout').addEventListener('click', logout);
loadSession().then(() => {
  if (!state.user && !location.hash) location.hash = '#/login';
  else route();
});
