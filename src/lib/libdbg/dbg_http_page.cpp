// The web tool's embedded page: one HTML file with its style sheet and
// script, sent as a template ($title, $sh_psa and $token_value are the
// server's own values). A file "debug.html" in the working directory takes
// its place.
#include "libdbg/dbg_http.h"

const char k_dbg_http_page[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>$title</title>
<link rel="icon" href="favicon.ico">
<style>
:root{--bg:#11161f;--panel:#18202c;--line:#263142;--fg:#d7dee8;--dim:#8493a8;--accent:#3cc5b7;
--err:#ff6b6b;--warn:#ffc145;--info:#9fd8a4;--dbg:#7fb4e6;--mono:"DejaVu Sans Mono",Menlo,Consolas,monospace}
*{box-sizing:border-box}
html,body{height:100%;margin:0}
body{background:var(--bg);color:var(--fg);font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;
display:flex;flex-direction:column}
header{display:flex;align-items:center;gap:18px;padding:8px 16px;background:var(--panel);border-bottom:1px solid var(--line)}
header h1{font-size:16px;font-weight:600;margin:0;letter-spacing:.02em;white-space:nowrap}
header img{width:22px;height:22px}
nav{display:flex;gap:4px}
nav button{background:none;border:1px solid transparent;color:var(--dim);font:inherit;padding:5px 14px;border-radius:6px;cursor:pointer}
nav button:hover{color:var(--fg)}
nav button[aria-selected=true]{color:var(--fg);background:var(--bg);border-color:var(--line)}
nav kbd{font-size:11px;opacity:.6;margin-left:6px}
#status{margin-left:auto;font-size:13px;color:var(--dim);white-space:nowrap}
#status.bad{color:var(--err)}
main{flex:1;min-height:0;display:flex}
section{flex:1;min-height:0;display:none;flex-direction:column}
section.on{display:flex}
.bar{display:flex;align-items:center;gap:10px;padding:6px 16px;border-bottom:1px solid var(--line);color:var(--dim);font-size:13px}
.bar button,.bar input{font:inherit;font-size:13px;background:var(--panel);color:var(--fg);border:1px solid var(--line);border-radius:5px;padding:3px 10px}
.bar button:hover{border-color:var(--accent)}
.bar .grow{flex:1}
kbd{font-family:var(--mono);font-size:12px;border:1px solid var(--line);border-radius:4px;padding:0 4px;color:var(--dim)}
#out,#logbody{flex:1;overflow:auto;margin:0;padding:10px 16px;font:14px/1.5 var(--mono);white-space:pre-wrap;word-break:break-word}
#out .cmd{color:var(--accent)}
#out .cmd .p{color:var(--dim)}
#out .resp{color:var(--fg);margin-bottom:6px}
#out .note{color:var(--dim);font-style:italic}
#out .fail{color:var(--err)}
.prompt{display:flex;align-items:center;gap:8px;padding:8px 16px;border-top:1px solid var(--line);background:var(--panel);font:14px var(--mono)}
.prompt label{color:var(--accent);white-space:pre}
#cmd{flex:1;background:transparent;border:0;outline:0;color:var(--fg);font:inherit;caret-color:var(--accent)}
.prompt .busy{color:var(--warn);visibility:hidden}
.prompt .busy.on{visibility:visible}
#logbody div{padding:0 4px;border-left:3px solid transparent}
#logbody .error{color:var(--err);border-left-color:var(--err)}
#logbody .warning{color:var(--warn);border-left-color:var(--warn)}
#logbody .info{color:var(--info)}
#logbody .debug{color:var(--dbg)}
#logbody div.hide{display:none}
#menu{position:fixed;display:none;background:var(--panel);border:1px solid var(--line);border-radius:6px;padding:4px 0;min-width:170px;box-shadow:0 6px 24px #0008;z-index:9}
#menu div{padding:5px 14px;cursor:pointer;font-size:14px}
#menu div:hover{background:var(--bg);color:var(--accent)}
#settings{flex:1;overflow:auto;padding:12px 16px}
table{border-collapse:collapse;width:100%;max-width:900px}
th,td{text-align:left;padding:7px 12px;border-bottom:1px solid var(--line)}
th{color:var(--dim);font-weight:500;font-size:13px}
td.val{font-family:var(--mono);cursor:text}
td.val:hover{background:var(--panel)}
td.val input,td.val select{font:14px var(--mono);background:var(--bg);color:var(--fg);border:1px solid var(--accent);border-radius:4px;padding:2px 6px}
.ok{color:var(--info);margin-left:10px}
.hint{color:var(--dim);font-size:13px}
</style>
</head>
<body>
<header>
<img src="favicon.ico" alt="">
<h1>$title</h1>
<nav role="tablist">
<button role="tab" data-view="pconsole" id="tab-console">Console<kbd>Alt+1</kbd></button>
<button role="tab" data-view="plog" id="tab-log">Log View<kbd>Alt+2</kbd></button>
<button role="tab" data-view="psetting" id="tab-setting">Setting<kbd>Alt+3</kbd></button>
</nav>
<span id="status">connected</span>
</header>
<main>
<section id="pconsole">
<div class="bar"><span class="grow">Shell commands of the running daemon. <kbd>Enter</kbd> run &middot; <kbd>&uarr;</kbd><kbd>&darr;</kbd> history &middot; <kbd>Ctrl+L</kbd> or <kbd>clear</kbd> empty the screen &middot; <kbd>Esc</kbd> clear the line</span><button id="hclear" title="Forget this session's command history">Forget history</button></div>
<pre id="out" aria-live="polite"></pre>
<div class="prompt"><label for="cmd" id="psa">$sh_psa</label><input id="cmd" autocomplete="off" spellcheck="false" autofocus><span class="busy" id="busy">running&hellip;</span></div>
</section>
<section id="plog">
<div class="bar"><button id="lpause">Pause</button><button id="lclear">Clear</button><button id="lend">Scroll to end</button>
<input id="lfilter" placeholder="filter lines" size="24"><span class="grow" id="lcount"></span><span class="hint">right-click for the menu</span></div>
<div id="logbody" tabindex="0"></div>
</section>
<section id="psetting">
<div class="bar"><span class="grow">Double-click a value to change it; <kbd>Enter</kbd> applies, <kbd>Esc</kbd> cancels.</span><button id="sreload">Reload</button></div>
<div id="settings"><table id="stable"><thead><tr><th>Variable</th><th>Value</th></tr></thead><tbody></tbody></table></div>
</section>
</main>
<div id="menu"><div data-act="end">Scroll to end</div><div data-act="pause">Pause</div><div data-act="clear">Clear</div></div>
<script>
(function(){
"use strict";
var TOKEN="$token_value";
var MAX_LOG=1000,POLL_MS=1200,HIST_KEY="zorv.history",HIST_MAX=200;
function el(id){return document.getElementById(id);}
function status(text,bad){var s=el("status");s.textContent=text;s.className=bad?"bad":"";}

// Every request: a GET with encoded parameters, the page token and "v"
// against caches; the reply is JSON.
function get(path,params){
  var q=["token="+encodeURIComponent(TOKEN),"v="+Math.random().toString(36).slice(2)];
  for(var k in params){q.push(encodeURIComponent(k)+"="+encodeURIComponent(params[k]));}
  return fetch(path+"?"+q.join("&"),{cache:"no-store",credentials:"same-origin"}).then(function(r){
    if(r.status===403){throw new Error("refused (403): reload the page");}
    if(!r.ok){throw new Error("HTTP "+r.status);}
    return r.text();
  }).then(function(t){status("connected",false);return JSON.parse(t);},function(e){status(e.message,true);throw e;});
}

// Views.
var views=["pconsole","plog","psetting"],current="";
function show(v){
  if(views.indexOf(v)<0){v="pconsole";}
  current=v;
  views.forEach(function(n){el(n).classList.toggle("on",n===v);});
  document.querySelectorAll("nav button").forEach(function(b){b.setAttribute("aria-selected",b.dataset.view===v);});
  var u=new URL(location.href);u.searchParams.set("dp",v);history.replaceState(null,"",u);
  if(v==="pconsole"){el("cmd").focus();}
  if(v==="plog"){el("logbody").focus();scrollEnd();}
  if(v==="psetting"&&!loaded){loadSettings();}
}
document.querySelectorAll("nav button").forEach(function(b){b.onclick=function(){show(b.dataset.view);};});
document.addEventListener("keydown",function(e){
  if(e.altKey&&e.key>="1"&&e.key<="3"){show(views[e.key-1]);e.preventDefault();}
});

// Console.
var out=el("out"),cmd=el("cmd"),psa=el("psa").textContent;
var hist=[];try{hist=JSON.parse(sessionStorage.getItem(HIST_KEY)||"[]");}catch(e){hist=[];}
var hpos=hist.length,draft="",pending=0;
function add(cls,text){var d=document.createElement("div");d.className=cls;d.textContent=text;out.appendChild(d);out.scrollTop=out.scrollHeight;return d;}
function remember(line){
  if(hist[hist.length-1]!==line){hist.push(line);}
  if(hist.length>HIST_MAX){hist=hist.slice(-HIST_MAX);}
  try{sessionStorage.setItem(HIST_KEY,JSON.stringify(hist));}catch(e){}
  hpos=hist.length;draft="";
}
function run(line){
  var c=add("cmd","");var p=document.createElement("span");p.className="p";p.textContent=psa+" ";c.appendChild(p);c.appendChild(document.createTextNode(line));
  if(line==="clear"){out.textContent="";return;}
  var slot=add("resp","");
  pending++;el("busy").classList.add("on");
  get("cmd",{command:line}).then(function(arr){
    var text=(arr||[]).map(function(o){return o.resp;}).join("").replace(/\s+$/,"");
    if(text===""){slot.className="resp note";text="(no output)";}
    slot.textContent=text;
  },function(e){slot.className="resp fail";slot.textContent="error: "+e.message;}).then(function(){
    pending--;el("busy").classList.toggle("on",pending>0);out.scrollTop=out.scrollHeight;
  });
}
cmd.addEventListener("keydown",function(e){
  if(e.key==="Enter"){var line=cmd.value.trim();cmd.value="";if(line!==""){remember(line);run(line);}e.preventDefault();}
  else if(e.key==="ArrowUp"){if(hpos>0){if(hpos===hist.length){draft=cmd.value;}hpos--;cmd.value=hist[hpos];}e.preventDefault();}
  else if(e.key==="ArrowDown"){if(hpos<hist.length){hpos++;cmd.value=hpos===hist.length?draft:hist[hpos];}e.preventDefault();}
  else if(e.key==="Escape"){cmd.value="";hpos=hist.length;}
  else if(e.key==="l"&&e.ctrlKey){out.textContent="";e.preventDefault();}
});
out.addEventListener("click",function(){if(!getSelection().toString()){cmd.focus();}});
el("hclear").onclick=function(){hist=[];hpos=0;try{sessionStorage.removeItem(HIST_KEY);}catch(e){}cmd.focus();};

// Log View: polls 1200 ms after each reply.
var logbody=el("logbody"),paused=false,follow=true,filter="";
function scrollEnd(){logbody.scrollTop=logbody.scrollHeight;follow=true;}
function count(){el("lcount").textContent=logbody.childElementCount+" lines"+(paused?" (paused)":"");}
function matches(d){return filter===""||d.textContent.toLowerCase().indexOf(filter)>=0;}
function addLines(arr){
  if(!arr||!arr.length){return;}
  var atEnd=logbody.scrollTop+logbody.clientHeight>=logbody.scrollHeight-4;
  var frag=document.createDocumentFragment();
  arr.forEach(function(o){var d=document.createElement("div");d.className=o.level||"info";d.textContent=String(o.log).replace(/\n$/,"");if(!matches(d)){d.classList.add("hide");}frag.appendChild(d);});
  logbody.appendChild(frag);
  while(logbody.childElementCount>MAX_LOG){logbody.removeChild(logbody.firstChild);}
  if(follow&&atEnd){logbody.scrollTop=logbody.scrollHeight;}
  count();
}
function poll(){
  if(paused){setTimeout(poll,POLL_MS);return;}
  get("log",{}).then(addLines,function(){}).then(function(){setTimeout(poll,POLL_MS);});
}
function setPause(p){paused=p;el("lpause").textContent=p?"Resume":"Pause";menu.children[1].textContent=p?"Resume":"Pause";count();}
function clearLog(){logbody.textContent="";count();}
logbody.addEventListener("scroll",function(){follow=logbody.scrollTop+logbody.clientHeight>=logbody.scrollHeight-4;});
el("lpause").onclick=function(){setPause(!paused);};
el("lclear").onclick=clearLog;
el("lend").onclick=scrollEnd;
el("lfilter").addEventListener("input",function(){filter=this.value.toLowerCase();Array.prototype.forEach.call(logbody.children,function(d){d.classList.toggle("hide",!matches(d));});});
logbody.addEventListener("keydown",function(e){
  if(e.key===" "||e.key==="p"){setPause(!paused);e.preventDefault();}
  else if(e.key==="End"){scrollEnd();e.preventDefault();}
  else if(e.key==="c"&&!e.ctrlKey){clearLog();}
});
var menu=el("menu");
logbody.addEventListener("contextmenu",function(e){e.preventDefault();menu.style.left=e.clientX+"px";menu.style.top=e.clientY+"px";menu.style.display="block";});
document.addEventListener("click",function(){menu.style.display="none";});
document.addEventListener("keydown",function(e){if(e.key==="Escape"){menu.style.display="none";}});
menu.addEventListener("click",function(e){var a=e.target.dataset.act;if(a==="end"){scrollEnd();}else if(a==="pause"){setPause(!paused);}else if(a==="clear"){clearLog();}});

// Setting: desc and value of each settable variable; double-click edits.
var loaded=false,tbody=el("stable").tBodies[0];
function loadSettings(){
  loaded=true;
  get("config",{}).then(function(arr){
    tbody.textContent="";
    (arr||[]).forEach(function(o){
      var tr=document.createElement("tr"),td1=document.createElement("td"),td2=document.createElement("td");
      td1.textContent=o.desc;td2.className="val";td2.textContent=o.value;td2.title="double-click to change";
      td2.dataset.name=o.name||o.desc;td2.dataset.range=o.range||"";
      td2.ondblclick=function(){edit(td2);};
      tr.appendChild(td1);tr.appendChild(td2);tbody.appendChild(tr);
    });
  },function(){loaded=false;});
}
function edit(td){
  if(td.querySelector("input,select")){return;}
  var old=td.textContent,f;
  if(td.dataset.range){
    f=document.createElement("select");
    td.dataset.range.split("/").forEach(function(v){var o=document.createElement("option");o.value=o.textContent=v;if(v===old){o.selected=true;}f.appendChild(o);});
    f.onchange=function(){commit(td,f.value,old);};
  }else{
    f=document.createElement("input");f.value=old;f.size=Math.max(12,old.length+2);
  }
  f.onkeydown=function(e){if(e.key==="Enter"){commit(td,f.value,old);}else if(e.key==="Escape"){td.textContent=old;}};
  f.onblur=function(){if(td.contains(f)){td.textContent=old;}};
  td.textContent="";td.appendChild(f);f.focus();
}
function commit(td,value,old){
  td.textContent=value;
  if(value===old){return;}
  get("update",{name:td.dataset.name,value:value}).then(function(r){
    if(r&&r.success){var m=document.createElement("span");m.className="ok";m.textContent="\u2713 saved";td.appendChild(m);setTimeout(function(){if(m.parentNode){m.remove();}},2500);}
    else{td.textContent=old;alert((r&&r.msg)||"update failed");}
  },function(e){td.textContent=old;alert(e.message);});
}
el("sreload").onclick=loadSettings;

show(new URLSearchParams(location.search).get("dp")||"pconsole");
poll();
})();
</script>
</body>
</html>
)PAGE";
