// Sends the form with XMLHttpRequest rather than fetch(): only XHR reports
// upload progress. Everything from the server is put in with textContent,
// never as HTML, since file names are the client's own text.
'use strict';

const form = document.getElementById('upload-form');
const submit = document.getElementById('submit');
const progressBox = document.getElementById('progress-box');
const progress = document.getElementById('progress');
const progressText = document.getElementById('progress-text');
const result = document.getElementById('result');
const statusLine = document.getElementById('status');

function formatSize(bytes) {
  const units = ['bytes', 'KiB', 'MiB', 'GiB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return unit === 0 ? `${bytes} bytes` : `${value.toFixed(1)} ${units[unit]}`;
}

function showProgress(loaded, total) {
  const percent = total > 0 ? Math.round((loaded / total) * 100) : 100;
  progress.value = percent;
  progressText.textContent = `${formatSize(loaded)} of ${formatSize(total)} (${percent}%)`;
}

function fillRows(table, rows) {
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const cells of rows) {
    const tr = body.insertRow();
    for (const { text, className } of cells) {
      const td = tr.insertCell();
      td.textContent = text;
      if (className) td.className = className;
    }
  }
}

function showAnswer(httpStatus, answer) {
  result.hidden = false;
  const files = answer.files || [];
  const fields = answer.fields || [];
  if (answer.error) {
    statusLine.className = 'error';
    statusLine.textContent = `Upload failed (${httpStatus}): ${answer.error.message}`;
  } else {
    statusLine.className = 'ok';
    statusLine.textContent =
      `Stored ${files.length} file${files.length === 1 ? '' : 's'} and ` +
      `${fields.length} field${fields.length === 1 ? '' : 's'}.`;
  }
  fillRows(document.getElementById('files-table'), files.map((f) => [
    { text: f.stored_name },
    { text: f.file_name },
    { text: f.mime_type || '' },
    { text: formatSize(f.size), className: 'num' },
    { text: f.sha256, className: 'hash' },
  ]));
  fillRows(document.getElementById('fields-table'), fields.map((f) => [
    { text: f.name },
    { text: f.value },
  ]));
}

form.addEventListener('submit', (event) => {
  event.preventDefault();
  const xhr = new XMLHttpRequest();
  xhr.open('POST', form.action);
  xhr.responseType = 'json';
  xhr.upload.addEventListener('progress', (e) => {
    if (e.lengthComputable) showProgress(e.loaded, e.total);
  });
  // A small form may be sent before any progress event fires.
  xhr.upload.addEventListener('load', () => {
    progress.value = progress.max;
    if (!progressText.textContent) progressText.textContent = 'Sent (100%)';
  });
  xhr.addEventListener('load', () => {
    submit.disabled = false;
    const answer = xhr.response;
    if (answer && typeof answer === 'object') {
      showAnswer(xhr.status, answer);
    } else {
      showAnswer(xhr.status, { error: { message: `unexpected answer (HTTP ${xhr.status})` } });
    }
  });
  xhr.addEventListener('error', () => {
    submit.disabled = false;
    showAnswer(0, { error: { message: 'the connection to the server failed' } });
  });
  submit.disabled = true;
  result.hidden = true;
  progressBox.hidden = false;
  progress.value = 0;
  progressText.textContent = '';
  xhr.send(new FormData(form));
});
